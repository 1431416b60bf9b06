// Buttons, combo boxes and the common enable/disable routine.
#include "main/MainComponent.h"
#include "platform/Tones.h"
#include "ui/FlashSelector.h"
#include "ui/InfoView.h"
#include "ui/UpdateDialogs.h"
#include "update/UpdateImage.h"

void MainComponent::buttonClicked(juce::Button* button)
{
    if (button == connectStatusButton.get())
    {
        setControlsEnabled(false, 1);
        instrumentConnected = false;
        forgetInstrument();
        queue->link().restartScan();
    }
    else if (button == wordToggle.get())
    {
        wordAddressMode = true;
        queue->link().setWordAddressing(true);
    }
    else if (button == byteToggle.get())
    {
        wordAddressMode = false;
        queue->link().setWordAddressing(false);
    }
    else if (button == autoCheckToggle.get())
        updateOperationCaptions();
    else if (button == updateButton.get())
        confirmAndStartUpdate();
    else if (button == addPresetButton.get())
    {
        const auto name = presetNameEditor->getText();
        if (name.isEmpty())
        {
            logOutput.PrintA("Preset name can not be empty.\n");
            return;
        }
        if (savePreset(name) >= 0)
            presetListCombo->setSelectedItemIndex(refreshPresetList(name), juce::dontSendNotification);
    }
    else if (button == deletePresetButton.get())
    {
        if (presetListCombo->getNumItems() > 0)
            localPreset.remove(presetListCombo->getText());
        refreshPresetList({});
    }
    else if (button == selectFlashButton.get())
    {
        auto& box = juce::CallOutBox::launchAsynchronously(
            std::make_unique<FlashSelector>(offeredFlashNames, selectedFlashNames, this),
            selectFlashButton->getScreenBounds(), nullptr);
        box.setDismissalMouseClicksAreAlwaysConsumed(true);
    }
    else if (button == infoButton.get())
    {
        auto& box = juce::CallOutBox::launchAsynchronously(std::make_unique<infoView>(*portSet),
                                                           infoButton->getScreenBounds(), nullptr);
        box.setDismissalMouseClicksAreAlwaysConsumed(true);
    }
    else if (button == helpButton.get())
    {
        juce::String problem;
        if (!helpViewer.open(helpFilePath, problem))
        {
            logOutput.PrintA("%s\n", problem.toRawUTF8());
            logOutput.PrintA("Can't open the help file.\n");
        }
    }
}

void MainComponent::comboBoxChanged(juce::ComboBox* box)
{
    if (box == mcuCombo.get())
        applyOfferedFlashList();
    else if (box == presetListCombo.get())
    {
        const auto name = presetListCombo->getText();
        loadPreset(name);
        presetNameEditor->setText(name, true);
    }
}

// The flash models offered for the chosen MCU, from the built-in driver headers.
void MainComponent::applyOfferedFlashList()
{
    const auto mcu = mcuCombo->getText();
    offeredFlashNames.clear();
    for (auto& d : builtInDrivers)
        if (mcu == d.mcuName)
            offeredFlashNames.add(d.flashName);
    offeredFlashNames.sort(false);
    selectedFlashNames.clear();
    updateFlashButtonText();
}

void MainComponent::setControlsEnabled(bool enabled, int beepKind)
{
    updateButton->setEnabled(enabled && updateAllowed() && !isThreadRunning());
    readButton->setEnabled(enabled);
    mcuCombo->setEnabled(enabled);
    connectStatusButton->setEnabled(enabled);
    userModeToggle->setEnabled(enabled);
    presetListCombo->setEnabled(enabled);
    addPresetButton->setEnabled(enabled);
    deletePresetButton->setEnabled(enabled);

    if (!enabled || !beepToggle->getToggleState())
        return;
    if (beepKind == 1)
        platform::beep(2000, 200);
    else
    {
        platform::beep(1000, 150);
        platform::sleepMs(100);
        platform::beep(1000, 150);
    }
}

void MainComponent::updateFlashButtonText()
{
    selectFlashButton->setButtonText(selectedFlashNames.isEmpty() ? juce::String("Select flash...")
                                                                  : selectedFlashNames.joinIntoString(","));
}

void MainComponent::updateOperationCaptions()
{
    const bool check = autoCheckToggle->getToggleState();
    updateButton->setButtonText(check ? "Write&Verify" : "UPDATE");
    readButton->setButtonText(check ? "Read&Verify" : "Read");
}

void MainComponent::confirmAndStartUpdate()
{
    // Nothing but this button starts an update, and it is enabled only when
    // the update may start; that is checked again before the first question
    // and after the last (device events are handled while a question is open).
    auto refused = [this]
    {
        if (!updateInProgress && updateAllowed())
            return false;
        updateButton->setEnabled(false);
        logOutput.PrintA("UPDATE refused: the flash, the piano's version or the update file has not been "
                         "checked.\n");
        return true;
    };
    if (refused())
        return;
    alertDialog_Update dialog;
    auto ask = [&](const juce::String& title) { return modalDialogs ? dialog.showModal(title, this) : 1; };
    if (fileProductName != deviceProductName)
    {
        dialog.SetMessage("The product name in the update file is\n" + fileProductName +
                          "\nare you sure to continue?");
        if (ask("Continue?") != 1)
            return;
        dialog.SetMessage("Update your device?");
    }
    if (ask("Start update?") != 1)
        return;
    if (refused())
        return;
    juce::MemoryBlock image;
    if (!readCheckedImage(image))
        return;
    startUpdate(std::move(image));
}

// Reads "update.rom" once and checks those bytes again: the update writes
// exactly them. The plan and the user's confirmation rest on the check at
// connection, so bytes other than the ones it passed are not written.
bool MainComponent::readCheckedImage(juce::MemoryBlock& image)
{
    UpdateFileFacts facts;
    const int result = checkUpdateFile(programFolder, deviceProductName, &logOutput, facts, flashCapacity());
    if (result == UpdateFileOk && juce::SHA256(facts.bytes) == checkedImageDigest)
    {
        image = std::move(facts.bytes);
        return true;
    }
    logOutput.PrintA("The update file has changed since it was checked.\n");
    if (result != UpdateFileOk)
    {
        // The connect-status button checks the file again once it is fixed.
        lastImageCheck = result;
        checkedImageDigest = {};
        showUpdateFileResult(result);
        connectStatusButton->setEnabled(true);
        return false;
    }
    // Another good image: show what it holds and let the user confirm it.
    takeUpdateFileFacts(facts, result);
    setStatus("The update file has changed. Press UPDATE again.");
    return false;
}

namespace
{
juce::String hexText(int value)
{
    return juce::String::toHexString((juce::uint32)value);
}
int hexValue(const juce::TextEditor& e)
{
    return e.getText().getHexValue32();
}
} // namespace

void MainComponent::loadPreset(const juce::String& name)
{
    if (auto* preset = localPreset.find(name))
    {
        mcuCombo->setText(preset->MCUName, juce::dontSendNotification);
        applyOfferedFlashList();
        selectedFlashNames = preset->FlashList;
        flashPageEditor->setText(hexText(preset->FlashPage), false);
        fileOffsetEditor->setText(hexText(preset->WriteFileOffset), false);
        writeLengthEditor->setText(hexText(preset->WriteLength), false);
        writeFlashOffsetEditor->setText(hexText(preset->WriteFlashOffset), false);
        readFlashOffsetEditor->setText(hexText(preset->ReadFlashOffset), false);
        readLengthEditor->setText(hexText(preset->ReadLength), false);
        writeFileBox->SetFile(preset->WriteFileName, true);
        readFileBox->SetFile(preset->ReadFileName, false);
        (preset->UseWordAddress ? wordToggle : byteToggle)->setToggleState(true, juce::dontSendNotification);
        wordAddressMode = preset->UseWordAddress;
        queue->link().setWordAddressing(preset->UseWordAddress);
        beepToggle->setToggleState(preset->BeepWhenDone, juce::dontSendNotification);
        autoCheckToggle->setToggleState(preset->ReadAndCheckAfterWrite, juce::dontSendNotification);
    }
    else if (name != autoSavePresetName)
        logOutput.PrintA("Something error... Can't load preset.\n");
    updateFlashButtonText();
    updateOperationCaptions();
}

int MainComponent::savePreset(const juce::String& name)
{
    _PRESET_NODE node;
    node.MCUName = mcuCombo->getText();
    node.FlashList = selectedFlashNames;
    node.FlashPage = hexValue(*flashPageEditor);
    node.WriteFileName = writeFileBox->GetFile();
    node.WriteFileOffset = hexValue(*fileOffsetEditor);
    node.WriteLength = hexValue(*writeLengthEditor);
    node.WriteFlashOffset = hexValue(*writeFlashOffsetEditor);
    node.ReadFileName = readFileBox->GetFile();
    node.ReadFlashOffset = hexValue(*readFlashOffsetEditor);
    node.ReadLength = hexValue(*readLengthEditor);
    node.UseWordAddress = wordToggle->getToggleState();
    node.BeepWhenDone = beepToggle->getToggleState();
    node.ReadAndCheckAfterWrite = autoCheckToggle->getToggleState();
    return localPreset.store(name, node);
}

int MainComponent::refreshPresetList(const juce::String& name)
{
    auto names = localPreset.getNames();
    names.removeString(autoSavePresetName);
    names.sort(false);
    presetListCombo->clear(juce::dontSendNotification);
    presetListCombo->addItemList(names, 1);
    return juce::jmax(0, names.indexOf(name));
}
