// Buttons, combo boxes and the common enable/disable routine.
#include "main/MainComponent.h"
#include "platform/Tones.h"
#include "ui/UpdateDialogs.h"

void MainComponent::buttonClicked(juce::Button* button)
{
    if (button == connectStatusButton.get())
    {
        setControlsEnabled(false, 1);
        instrumentConnected = false;
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
    else if (button == helpButton.get())
    {
        const juce::File help(juce::File::isAbsolutePath(helpFilePath) ? juce::File(helpFilePath) : juce::File());
        if (!help.existsAsFile() || !help.startAsProcess())
            logOutput.PrintA("Can't open the help file.\n");
    }
}

void MainComponent::comboBoxChanged(juce::ComboBox* box)
{
    if (box == mcuCombo.get())
        applyOfferedFlashList();
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
    updateButton->setEnabled(enabled && !isThreadRunning());
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
    alertDialog_Update dialog;
    auto ask = [&](const juce::String& title) { return modalDialogs ? dialog.showModal(title, this) : 1; };
    if (fileProductName != deviceProductName)
    {
        dialog.SetMessage("The product name in the update file is\n" + fileProductName + "\nare you sure to continue?");
        if (ask("Continue?") != 1)
            return;
        dialog.SetMessage("Update your device?");
    }
    if (ask("Start update?") != 1)
        return;
    startUpdate();
}

void MainComponent::loadPreset(const juce::String& name)
{
    if (name != autoSavePresetName)
        logOutput.PrintA("Something error... Can't load preset.\n");
    updateFlashButtonText();
    updateOperationCaptions();
}
