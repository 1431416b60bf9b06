// What the update controller shows on the screen, and the events of the file
// boxes and the flash chooser.
#include "main/MainComponentParts.h"
#include "main/ScreenSaver.h"
#include "platform/SafeFile.h"
#include "platform/TextConversion.h"
#include "ui/UpdateDialogs.h"

void MainComponent::handleMessage(const juce::Message& message)
{
    visitEvent(message, overloaded{[this](const EvFileChosen& event)
                                   {
                                       auto* box = event.box == FileBox::write ? writeFileBox.get()
                                                                               : readFileBox.get();
                                       const juce::File chosen(juce::File::isAbsolutePath(box->GetFile())
                                                                   ? juce::File(box->GetFile())
                                                                   : juce::File());
                                       if (event.box == FileBox::write)
                                           startFileSummary(box->GetFile());
                                       const auto folder = chosen.getParentDirectory();
                                       box->SetStartLocation(chosen != juce::File() && folder.isDirectory()
                                                                 ? folder.getFullPathName()
                                                                 : juce::String());
                                   },
                                   [this](const EvFlashTicked& event)
                                   {
                                       if (event.ticked)
                                           selectedFlashNames.addIfNotAlreadyThere(event.name);
                                       else
                                           selectedFlashNames.removeString(event.name);
                                       updateFlashButtonText();
                                   },
                                   [](const auto&) {}});
}

// The guide is there but nothing could show it: the user, who sees nothing
// open, is told on the status line where it is.
void MainComponent::tellNoViewer()
{
    const auto path = platform::printablePath(helpFilePath);
    logOutput.PrintA("No PDF viewer could open the guide: %s\n", path.toRawUTF8());
    showStatus(juce::String("No PDF viewer could open the guide: ") + path);
}

void MainComponent::showStatus(const juce::String& text)
{
    statusLabel->setText(text, juce::dontSendNotification);
    // In order with the log's copy on standard output.
    logOutput.CopyLine("Status: " + text);
}

void MainComponent::showConnection(ConnectionPicture picture)
{
    const int state = (int)picture;
    connectStatusButton->setImages(connectionPictures[state * 2].get(),
                                   connectionPictures[state * 2 + 1].get());
}

void MainComponent::showProgressBar(bool visible)
{
    if (visible)
        progressValue = 0.0;
    progressBar->setVisible(visible);
}

void MainComponent::showProgress(double fraction)
{
    progressBar->setColour(juce::ProgressBar::foregroundColourId, juce::Colour(0xffc0c0c0));
    progressBar->setTextToDisplay("Updating...");
    progressValue = fraction;
}

void MainComponent::showDeviceVersion(const juce::String& version)
{
    if (version.isEmpty())
    {
        devVersionValue->setVisible(false);
        devVersionLabel->setVisible(false);
        return;
    }
    devVersionValue->setText(version, juce::dontSendNotification);
}

void MainComponent::showFileVersion(const juce::String& version)
{
    fileVersionValue->setText(version, juce::dontSendNotification);
}

void MainComponent::showDeviceName(const juce::String& name, NameState state)
{
    devNameValue->setColour(juce::Label::textColourId,
                            juce::Colour(state == NameState::known ? 0xff90ee90 : 0xffff0000));
    devNameValue->setText(name, juce::dontSendNotification);
}

void MainComponent::enableControls(bool enabled, bool updateAllowed)
{
    updateButton->setEnabled(enabled && updateAllowed && !isThreadRunning());
    readButton->setEnabled(enabled);
    mcuCombo->setEnabled(enabled);
    connectStatusButton->setEnabled(enabled);
    userModeToggle->setEnabled(enabled);
    presetListCombo->setEnabled(enabled);
    addPresetButton->setEnabled(enabled);
    deletePresetButton->setEnabled(enabled);
}

void MainComponent::enableUpdate(bool enabled)
{
    updateButton->setEnabled(enabled && !isThreadRunning());
}

void MainComponent::enableConnect(bool enabled)
{
    connectStatusButton->setEnabled(enabled);
    userModeToggle->setEnabled(enabled);
}

bool MainComponent::confirm(const juce::String& title, const juce::String& message)
{
    if (!modalDialogs)
        return true;
    alertDialog_Update dialog;
    dialog.SetMessage(message);
    return dialog.showModal(title, this) == 1;
}

void MainComponent::warn(const juce::String& title, const juce::String& text)
{
    if (modalDialogs)
        juce::AlertWindow::showMessageBoxAsync(juce::MessageBoxIconType::WarningIcon, title, text);
}

void MainComponent::playTone(Tone tone)
{
    if (tone == Tone::success)
    {
        services->beep(2000, 200);
        return;
    }
    services->beep(1000, 150);
    services->sleepMs(100);
    services->beep(1000, 150);
}

void MainComponent::updateRunning(bool running)
{
    // The screen stays on while the flash is written.
    if (!running)
        screenSaverBlock.reset();
    else if (screenSaverBlock == nullptr)
        screenSaverBlock = std::make_unique<ScreenSaverBlock>();
}

void MainComponent::updateSucceeded()
{
    // The completion dialog is modal, but its loop does not run inside this
    // event's delivery: a nested loop there leaves the framework's Linux event
    // loop unable to deliver the quit that follows.
    auto quitApp = [](int)
    {
        if (auto* app = juce::JUCEApplication::getInstance())
            app->systemRequestedQuit();
    };
    if (!modalDialogs)
    {
        quitApp(1);
        return;
    }
    updateDoneDlg::launch("Update finished!", this, quitApp);
}
