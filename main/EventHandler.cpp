// The main component's reactions to device events, the file boxes and the
// flash chooser: connection, flash identification, version check, progress
// and the end of a job list.
#include "main/MainComponent.h"
#include "main/ScreenSaver.h"
#include "platform/Tones.h"
#include "ui/UpdateDialogs.h"
#include "update/UpdateImage.h"

namespace
{
const char* stepFailureText(int reason)
{
    switch (reason)
    {
    case 1:
        return "Can't create file to save data.";
    case 2:
        return "The data read from flash is not correct.";
    case 3:
        return "Can't create lock file!";
    case 4:
        return "Can't delete lock file!";
    case 5:
        return "Time out!";
    case 6:
        return "Can't open file to program.";
    case 7:
        return "The flash operation failed.";
    default:
        return nullptr;
    }
}
} // namespace

void MainComponent::handleMessage(const juce::Message& message)
{
    auto* m = dynamic_cast<const CCustomMessage*>(&message);
    if (m == nullptr)
        return;
    auto& event = const_cast<CCustomMessage&>(*m);
    switch (event.code)
    {
    case EvScanStarted:
        showConnectionPictures(0);
        break;
    case EvDeviceFound:
        onDeviceFound(event.param1 != 0);
        break;
    case EvNoDevice:
        showConnectionPictures(1);
        forgetInstrument();
        readButton->setEnabled(false);
        connectStatusButton->setEnabled(true);
        userModeToggle->setEnabled(true);
        doubleLowTone();
        setStatus("Device is not connected!");
        break;
    case EvTwoDevices:
        doubleLowTone();
        // Also in the log, which outlives the box and reaches support staff.
        logOutput.PrintA("Two or more devices! Please check it!\n");
        if (modalDialogs)
            juce::AlertWindow::showMessageBoxAsync(juce::MessageBoxIconType::WarningIcon, "Warning",
                                                   "Two or more devices! Please check it!\n");
        break;
    case EvControls:
        if (event.param1 == 0)
            setControlsEnabled(false, 0);
        else
            setControlsEnabled(true, event.param2);
        break;
    case EvProgress:
        onProgress(event.param1, event.param2, event.param3);
        break;
    case EvConnectButton:
        connectStatusButton->setEnabled(event.param1 != 0);
        userModeToggle->setEnabled(event.param1 != 0);
        break;
    case EvStepDone:
        // Only the running job's own end counts, and only once.
        if (queue->acceptStepDone(event.param3))
            onStepDone(event.param1 != 0, event.param2);
        break;
    case EvWriteFileChosen:
    case EvReadFileChosen:
    {
        auto* box = event.code == EvWriteFileChosen ? writeFileBox.get() : readFileBox.get();
        const juce::File chosen(juce::File::isAbsolutePath(box->GetFile()) ? juce::File(box->GetFile())
                                                                           : juce::File());
        if (event.code == EvWriteFileChosen)
            startFileSummary(box->GetFile());
        const auto folder = chosen.getParentDirectory();
        box->SetStartLocation(chosen != juce::File() && folder.isDirectory() ? folder.getFullPathName()
                                                                             : juce::String());
        break;
    }
    case EvFlashTicked:
    {
        std::unique_ptr<juce::String> name(event.takeData<juce::String>());
        if (name != nullptr)
        {
            if (event.param1 == 1)
                selectedFlashNames.addIfNotAlreadyThere(*name);
            else
                selectedFlashNames.removeString(*name);
        }
        updateFlashButtonText();
        break;
    }
    case EvVersionRead:
        onVersionRead(event);
        break;
    default:
        break;
    }
}

void MainComponent::doubleLowTone()
{
    if (!beepToggle->getToggleState())
        return;
    platform::beep(1000, 150);
    platform::sleepMs(100);
    platform::beep(1000, 150);
}

void MainComponent::onDeviceFound(bool fullSpeed)
{
    showConnectionPictures(fullSpeed ? 2 : 3);
    forgetInstrument();
    instrumentConnected = true;
    logOutput.PrintA("Device Connected! Test MCU/Flash type.\n");
    queue->clearQueue();
    for (auto& d : builtInDrivers)
    {
        queue->addSendDriver(d.image, d.length, d.flashName, 0, 100);
        queue->addTestFlash(d.mcuName, d.flashName, d.image, d.length);
    }
    queue->runNext();
    detectingFlash = true;
}

void MainComponent::onProgress(int kind, int value, int total)
{
    if (kind == 0)
        return;
    if (kind == 4)
    {
        progressLow = value / 1000.0;
        progressHigh = total / 1000.0;
        return;
    }
    progressBar->setColour(juce::ProgressBar::foregroundColourId, juce::Colour(0xffc0c0c0));
    progressBar->setTextToDisplay("Updating...");
    if (total != 0)
        progressValue = progressLow + (progressHigh - progressLow) * value / total;
}

// The list ended with every job done.
void MainComponent::endUpdateWell()
{
    updateInProgress = false;
    progressBar->setVisible(false);
    setControlsEnabled(true, 1);
    screenSaverBlock.reset();
    setStatus("Update OK!");
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

void MainComponent::onStepDone(bool failed, int reason)
{
    const bool testJob = queue->current().op == OperationRecord::TestFlash;
    if (!failed && detectingFlash && testJob)
    {
        detectingFlash = false;
        const auto& job = queue->current();
        logOutput.SetTextColour(LogColour::blue);
        logOutput.PrintW(L"Select MCU: %ls, flash: %ls\n", juce::String(job.mcuName).toWideCharPointer(),
                         juce::String(job.flashName).toWideCharPointer());
        detectedDriver = job.image;
        detectedDriverLength = job.imageLength;
        queue->clearQueue();
        const auto versionPath = workingPath("/orv_read_version.bin");
        queue->addReadToFile(versionPath, 0, 0x1F000, 0x2000, 0, 100);
        queue->addReadVersion(versionPath);
        queue->runNext();
        logOutput.PrintA("Check file version and flash version.\n");
        return;
    }
    if (!failed)
    {
        // Only an update's list ends in "Update OK!".
        if (queue->runNext() && updateInProgress)
            endUpdateWell();
        return;
    }
    if (detectingFlash && testJob)
    {
        const bool everyModelTried = !queue->nextIsDriverUpload();
        if (everyModelTried || queue->runNext())
        {
            detectingFlash = false;
            queue->clearQueue();
            setControlsEnabled(true, 0);
            if (everyModelTried)
            {
                // No driver: nothing may be written, and the user is told why.
                setStatus("The flash of the piano was not recognised.");
                logOutput.SetBold(true);
                logOutput.SetTextColour(LogColour::red);
                logOutput.PrintA("Please select correct flash model.\n");
                logOutput.SetBold(false);
                logOutput.SetTextColour(LogColour::black);
            }
            screenSaverBlock.reset();
        }
        updateInProgress = false;
        progressBar->setVisible(false);
        return;
    }
    // A job of an update, a version read or a driver upload failed.
    detectingFlash = false;
    queue->clearQueue();
    screenSaverBlock.reset();
    if (auto* text = stepFailureText(reason))
        setStatus(text);
    else if (updateInProgress)
        setStatus("The update stopped: see the log.");
    updateInProgress = false;
    progressBar->setVisible(false);
}

// What is known of the instrument goes with its connection.
void MainComponent::forgetInstrument()
{
    detectedDriver = nullptr;
    detectedDriverLength = 0;
    versionRead = false;
    lastImageCheck = -1;
    checkedImageDigest = {};
    updateButton->setEnabled(false);
}

bool MainComponent::updateAllowed() const
{
    return detectedDriver != nullptr && versionRead && lastImageCheck == UpdateFileOk;
}

// The flash's size from the identified driver's sector table: the plan writes
// from address 0, so no image may be longer. Unknown without a driver.
juce::int64 MainComponent::flashCapacity() const
{
    if (detectedDriver == nullptr)
        return image::kMaxImageSize;
    const auto sectors = driverimage::readSectors(detectedDriver, detectedDriverLength);
    if (sectors.empty())
        return image::kMaxImageSize;
    return juce::jmin(image::kMaxImageSize, sectors.back().start + sectors.back().size);
}

// Keeps what the check of "update.rom" found, and a digest of the bytes it
// passed so that UPDATE can tell whether the file is still the one checked.
void MainComponent::takeUpdateFileFacts(const UpdateFileFacts& facts, int result)
{
    if (facts.productName)
        fileProductName = *facts.productName;
    if (facts.version)
        fileVersionValue->setText(*facts.version, juce::dontSendNotification);
    if (facts.length)
        updateFileLength = *facts.length;
    lastImageCheck = result;
    checkedImageDigest = result == UpdateFileOk ? juce::SHA256(facts.bytes) : juce::SHA256();
}

// The status line, log line and UPDATE state for a result of the image check.
void MainComponent::showUpdateFileResult(int result)
{
    updateButton->setEnabled(result == UpdateFileOk && updateAllowed() && !isThreadRunning());
    switch (result)
    {
    case UpdateFileOk:
        logOutput.PrintA("Ready to program");
        break;
    case UpdateFileModified:
        logOutput.PrintA("The update file is modified!\n");
        break;
    case UpdateFileProductMismatch:
        devNameValue->setColour(juce::Label::textColourId, juce::Colour(0xffff0000));
        break;
    default:
        break;
    }
    setStatus(updateFileStatusText(result));
}

void MainComponent::onVersionRead(CCustomMessage& message)
{
    std::unique_ptr<char16_t[]> block(message.takeData<char16_t>());
    if (block == nullptr)
        return;
    const auto version = versionBlockText(block.get(), 0);
    versionRead = version != "error";
    if (version == "error")
    {
        setStatus("Someting error when getting version from device.");
        logOutput.PrintA("Someting error when getting version from device.\n");
        return;
    }
    if (version.length() == 8)
    {
        logOutput.PrintA("Device Version:");
        logOutput.SetTextColour(LogColour::green);
        logOutput.PrintW(L"%ls\n", version.toWideCharPointer());
        logOutput.SetTextColour(LogColour::black);
        devVersionValue->setText(version, juce::dontSendNotification);
    }
    else
    {
        logOutput.PrintA("No version info in device.\n");
        devVersionValue->setVisible(false);
        devVersionLabel->setVisible(false);
    }
    deviceProductName = versionBlockText(block.get(), image::kProductNameIndex);
    if (deviceProductName.isNotEmpty())
    {
        devNameValue->setColour(juce::Label::textColourId, juce::Colour(0xff90ee90));
        devNameValue->setText(deviceProductName, juce::dontSendNotification);
    }
    else
    {
        devNameValue->setColour(juce::Label::textColourId, juce::Colour(0xffff0000));
        devNameValue->setText("Can't get product name from device!", juce::dontSendNotification);
    }

    UpdateFileFacts facts;
    const int result = checkUpdateFile(programFolder, deviceProductName, &logOutput, facts, flashCapacity());
    takeUpdateFileFacts(facts, result);
    showUpdateFileResult(result);
}
