// Buttons, combo boxes and the common enable/disable routine.
#include "main/MainComponentParts.h"
#include "platform/SafeFile.h"
#include "ui/FlashSelector.h"
#include "ui/InfoView.h"
#include "ui/UpdateDialogs.h"

// Each button and the member that handles its click; a click of any other
// button (User mode, Read) does nothing.
void MainComponent::buttonClicked(juce::Button* button)
{
    using Handler = void (MainComponent::*)();
    const std::pair<juce::Button*, Handler> handlers[] = {
        {connectStatusButton.get(), &MainComponent::reconnectClicked},
        {wordToggle.get(), &MainComponent::wordClicked},
        {byteToggle.get(), &MainComponent::byteClicked},
        {beepToggle.get(), &MainComponent::beepClicked},
        {autoCheckToggle.get(), &MainComponent::updateOperationCaptions},
        {updateButton.get(), &MainComponent::updateClicked},
        {addPresetButton.get(), &MainComponent::addPresetClicked},
        {deletePresetButton.get(), &MainComponent::deletePresetClicked},
        {selectFlashButton.get(), &MainComponent::selectFlashClicked},
        {infoButton.get(), &MainComponent::infoClicked},
        {helpButton.get(), &MainComponent::helpClicked},
    };
    for (const auto& [control, handler] : handlers)
        if (control == button)
            return (this->*handler)();
}

void MainComponent::reconnectClicked()
{
    controller->reconnect();
}

void MainComponent::wordClicked()
{
    wordAddressMode = true;
    controller->setWordAddressing(true);
}

void MainComponent::byteClicked()
{
    wordAddressMode = false;
    controller->setWordAddressing(false);
}

void MainComponent::beepClicked()
{
    controller->setTonesWanted(beepToggle->getToggleState());
}

void MainComponent::updateClicked()
{
    controller->requestUpdate();
}

void MainComponent::addPresetClicked()
{
    const auto name = presetNameEditor->getText();
    if (name.isEmpty())
    {
        logOutput.PrintA("Preset name can not be empty.\n");
        return;
    }
    // A name ending in ".rom" on the command line names an update file.
    if (name.trim().unquoted().trim().endsWithIgnoreCase(".rom"))
    {
        logOutput.PrintA("Preset name can not end in .rom.\n");
        return;
    }
    if (savePreset(name) >= 0)
        presetListCombo->setSelectedItemIndex(refreshPresetList(name), juce::dontSendNotification);
}

void MainComponent::deletePresetClicked()
{
    if (presetListCombo->getNumItems() > 0)
        localPreset->remove(presetListCombo->getText());
    refreshPresetList({});
}

void MainComponent::selectFlashClicked()
{
    auto& box = juce::CallOutBox::launchAsynchronously(
        std::make_unique<FlashSelector>(offeredFlashNames, selectedFlashNames, this),
        selectFlashButton->getScreenBounds(), nullptr);
    box.setDismissalMouseClicksAreAlwaysConsumed(true);
}

void MainComponent::infoClicked()
{
    auto& box = juce::CallOutBox::launchAsynchronously(std::make_unique<infoView>(*portSet),
                                                       infoButton->getScreenBounds(), nullptr);
    box.setDismissalMouseClicksAreAlwaysConsumed(true);
}

void MainComponent::helpClicked()
{
    juce::String problem;
    if (!helpViewer->open(helpFilePath, problem))
    {
        logOutput.PrintA("%s\n", problem.toRawUTF8());
        logOutput.PrintA("Can't open the help file.\n");
        // No launcher, or no program for PDF files (Windows says so at once).
        if (platform::inspectFile(helpFilePath, true) == platform::FileKind::regular)
            tellNoViewer();
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
    if (auto* preset = localPreset->find(name))
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
        controller->setWordAddressing(preset->UseWordAddress);
        beepToggle->setToggleState(preset->BeepWhenDone, juce::dontSendNotification);
        controller->setTonesWanted(preset->BeepWhenDone);
        autoCheckToggle->setToggleState(preset->ReadAndCheckAfterWrite, juce::dontSendNotification);
    }
    else if (name != autoSavePresetName)
        logOutput.PrintA("Something error... Can't load preset.\n");
    updateFlashButtonText();
    updateOperationCaptions();
}

int MainComponent::savePreset(const juce::String& name)
{
    PresetNode node;
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
    return localPreset->store(name, node);
}

int MainComponent::refreshPresetList(const juce::String& name)
{
    auto names = localPreset->getNames();
    names.removeString(autoSavePresetName);
    names.sort(false);
    presetListCombo->clear(juce::dontSendNotification);
    presetListCombo->addItemList(names, 1);
    return juce::jmax(0, names.indexOf(name));
}
