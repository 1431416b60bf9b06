#include "controller/UpdateController.h"
#include "TamarindVersion.h"
#include "platform/SafeFile.h"
#include "platform/WorkFolder.h"
#include "platform/WorkingFiles.h"
#include "update/UpdateImage.h"

UpdateController::UpdateController(UpdateView& v, CLogOutput& logSink, const Settings& settings)
    : view(v), log(logSink),
      ownedPorts(settings.ports == nullptr ? std::make_unique<midi::PortSet>() : nullptr),
      folder(settings.programFolder),
      imagePath(settings.imagePath.isNotEmpty() ? settings.imagePath : settings.programFolder + "update.rom"),
      workingFolder(settings.workingFolder),
      link(&logSink, this, settings.ports != nullptr ? *settings.ports : *ownedPorts, settings.periods,
           settings.services),
      builtInDrivers(deviceimages::builtInDrivers()), imageWanted(settings.checkImage)
{
    link.choosePort(settings.port);
}

UpdateController::~UpdateController() = default;

juce::String UpdateController::workingPath(const char* nameWithSlash) const
{
    return workingPathIn(workingFolder, nameWithSlash);
}

juce::String UpdateController::workingPathIn(const juce::String& folder, const char* nameWithSlash)
{
    if (folder.isNotEmpty())
        return folder + juce::String(nameWithSlash);
    return platform::workingFilePath(nameWithSlash);
}

void UpdateController::start()
{
    currentPhase = Phase::scanning;
    link.restartScan();
    // The link starts with byte addressing (the jobs' offsets are bytes).
    link.setWordAddressing(false);
}

void UpdateController::reconnect()
{
    if (isUpdating())
        return;
    setControlsEnabled(false, Tone::success);
    connected = false;
    forgetInstrument();
    currentPhase = Phase::scanning;
    link.restartScan();
}

// ---- the link's events ---------------------------------------------------------------

void UpdateController::handleMessage(const juce::Message& message)
{
    visitEvent(message,
               overloaded{[this](const EvScanStarted&) { view.showConnection(ConnectionPicture::scanning); },
                          [this](const EvDeviceFound& e) { onDeviceFound(e.fullSpeed); },
                          [this](const EvNoDevice&) { onNoDevice(); },
                          [this](const EvTwoDevices&)
                          {
                              failureTones();
                              // Also in the log, which outlives the box and reaches support staff.
                              log.PrintA("Two or more devices! Please check it!\n");
                              view.warn("Warning", "Two or more devices! Please check it!\n");
                          },
                          [this](const EvProgress& e) { onProgress(e.kind, e.value, e.total); },
                          [this](const EvConnectButton& e) { view.enableConnect(e.enabled); },
                          [this](const EvStepDone& e) { onJobEnded(e); },
                          [this](const EvVersionRead& e) { onVersionRead(e.block); },
                          [this](const EvLinkLost&) { onLinkLost(); }, [](const auto&) {}});
}

void UpdateController::onJobEnded(const EvStepDone& done)
{
    // Only the running job's own end counts, and only once.
    if (!queue.acceptStepDone(done.serial))
        return;
    // A failed job returns the controls, with the failure tone, whatever
    // follows (an identification tries the next model, a list ends).
    if (done.failure)
        setControlsEnabled(true, Tone::failure);
    onStepDone(done.failure.has_value(), done.failure.value_or(StepFailure::none));
}

void UpdateController::setControlsEnabled(bool enabled, Tone tone)
{
    view.enableControls(enabled, updateAllowed());
    if (enabled && tonesWanted)
        view.playTone(tone);
}

void UpdateController::failureTones()
{
    if (tonesWanted)
        view.playTone(Tone::failure);
}

void UpdateController::onDeviceFound(bool fullSpeed)
{
    view.showConnection(fullSpeed ? ConnectionPicture::fullSpeed : ConnectionPicture::highSpeed);
    forgetInstrument();
    connected = true;
    log.PrintA("Paired with input %s and output %s.\n", link.pairedInputName().toRawUTF8(),
               link.pairedOutputName().toRawUTF8());
    if (const auto notice = link.pairedOutputNotice(); notice.isNotEmpty())
        log.PrintA("%s\n", notice.toRawUTF8());
    log.PrintA("Device Connected! Test MCU/Flash type.\n");
    unclearAnswers = 0;
    identifyFlash();
}

// Each built-in driver is uploaded and its flash tested until one passes.
void UpdateController::identifyFlash()
{
    queue.clearQueue();
    for (auto& d : builtInDrivers)
    {
        queue.add(jobs::SendDriver{d.image, d.length, d.flashName, 0, 100});
        queue.add(jobs::TestFlash{d.mcuName, d.flashName, d.image, d.length});
    }
    currentPhase = Phase::identifying;
    queue.runNext();
}

// The instrument's version area, read and then checked for data that came
// after the read (which would mean a shifted read).
void UpdateController::readDeviceVersion()
{
    queue.clearQueue();
    const auto versionPath = workingPath(platform::kVersionReadFile);
    queue.add(
        jobs::ReadToFile{versionPath, 0, region::versionArea.start, region::versionArea.length, 0, 100});
    queue.add(jobs::ConfirmRead{});
    queue.add(jobs::ReadVersion{versionPath});
    currentPhase = Phase::readingVersion;
    // Nothing may be started while the piano is read.
    setControlsEnabled(false, Tone::success);
    queue.runNext();
}

// Replies nobody asked for came around an answer that decides what the piano
// is: the identification (or the version read) starts again, a few times,
// and then gives up; a doubtful answer never picks a chip.
void UpdateController::onUnclearAnswer()
{
    const bool identifying = currentPhase == Phase::identifying;
    if (++unclearAnswers < kMaxUnclearAnswers)
    {
        log.PrintA("The piano's replies were not clear: %s again (attempt %d of %d).\n",
                   identifying ? "identifying its flash" : "reading its version", unclearAnswers + 1,
                   kMaxUnclearAnswers);
        if (identifying)
        {
            detectedDriver = nullptr;
            flashName = {};
            return identifyFlash();
        }
        return readDeviceVersion();
    }
    log.PrintA("The piano's replies stayed unclear after %d attempts: %s.\n", kMaxUnclearAnswers,
               identifying ? "its flash was not identified" : "its version was not read");
    forgetInstrument();
    endList(true, StepFailure::unclearReplies);
    view.enableConnect(true);
}

void UpdateController::onNoDevice()
{
    view.showConnection(ConnectionPicture::notConnected);
    connected = false;
    forgetInstrument();
    view.enableControls(false, false);
    view.enableConnect(true);
    failureTones();
    currentPhase = Phase::notConnected;
    view.showStatus("Device is not connected!");
}

// The transport says the instrument is gone. An update's own job notices by
// its time-out (and then looks again); otherwise the scan starts over at once,
// quietly, until the instrument is back.
void UpdateController::onLinkLost()
{
    if (isUpdating() || currentPhase == Phase::running)
        return;
    log.PrintA("The connection to the piano was lost.\n");
    queue.clearQueue();
    onNoDevice();
    link.restartScan(true);
}

// The instrument stopped answering: its ports are closed and it is looked for
// again, as the connect-status control would (the status line keeps "Time out!").
void UpdateController::lookAgain()
{
    log.PrintA("Looking for the piano again.\n");
    connected = false;
    forgetInstrument();
    currentPhase = Phase::scanning;
    link.restartScan();
}

void UpdateController::onProgress(ProgressKind kind, int value, int total)
{
    if (kind == ProgressKind::ended)
        return;
    if (kind != ProgressKind::share && (isUpdating() || currentPhase == Phase::running))
    {
        steady.jobProgress(value, total);
        showSteadyProgress();
    }
    if (kind == ProgressKind::share)
    {
        progressLow = value / 1000.0;
        progressHigh = total / 1000.0;
        return;
    }
    if (total != 0)
        progressValue = progressLow + (progressHigh - progressLow) * value / total;
    view.showProgress(progressValue);
}

void UpdateController::onStepDone(bool failed, StepFailure reason)
{
    const bool connecting = currentPhase == Phase::identifying || currentPhase == Phase::readingVersion;
    if (connecting && failed && reason == StepFailure::unclearReplies)
        return onUnclearAnswer();
    if (currentPhase == Phase::identifying && queue.currentIs<jobs::TestFlash>())
        return onFlashTestDone(failed);
    if (failed)
        return endList(true, reason);
    const bool listRuns = isUpdating() || currentPhase == Phase::running;
    if (listRuns)
        steady.jobDone();
    if (!queue.runNext())
    {
        if (listRuns)
            showSteadyProgress();
        return; // the next job runs
    }
    if (listRuns)
        view.showSteadyProgress({}, 1.0);
    if (currentPhase == Phase::updating)
        endUpdateWell();
    else if (currentPhase == Phase::running)
        endList(false, StepFailure::none);
}

// The first driver whose flash test passes writes the update.
void UpdateController::onFlashTestDone(bool failed)
{
    const auto& job = std::get<jobs::TestFlash>(*queue.current());
    if (!failed)
    {
        log.SetTextColour(LogColour::blue);
        log.PrintW(L"Select MCU: %ls, flash: %ls\n", job.mcuName.toWideCharPointer(),
                   job.flashName.toWideCharPointer());
        detectedDriver = job.image;
        detectedDriverLength = job.length;
        flashName = job.flashName;
        readDeviceVersion();
        log.PrintA("Check file version and flash version.\n");
        return;
    }
    const bool everyModelTried = !queue.nextIsDriverUpload();
    if (everyModelTried || queue.runNext())
    {
        queue.clearQueue();
        setControlsEnabled(true, Tone::failure);
        if (everyModelTried)
        {
            // No driver: nothing may be written, and the user is told why.
            currentPhase = Phase::unrecognised;
            view.showStatus("The flash of the piano was not recognised.");
            log.SetBold(true);
            log.SetTextColour(LogColour::red);
            log.PrintA("Please select correct flash model.\n");
            log.SetBold(false);
            log.SetTextColour(LogColour::black);
        }
    }
    view.showProgressBar(false);
}

// A job list ended: a failure shows its reason; the update may be pressed
// again (it repairs), a connection step must be repeated.
void UpdateController::endList(bool failed, StepFailure reason)
{
    const auto was = currentPhase;
    queue.clearQueue();
    juce::String shown;
    if (failed)
    {
        // The status line's texts stand in the calls, where the guide's test finds them.
        if (auto* text = stepFailureText(reason))
            view.showStatus(shown = text);
        else if (was == Phase::updating)
            view.showStatus(shown = "The update stopped: see the log.");
    }
    view.showProgressBar(false);
    if (was == Phase::updating)
    {
        appendHistoryRecord(false, shown, reason);
        folderLock.reset();
        view.updateRunning(false);
    }
    if (was == Phase::updating || was == Phase::running)
        currentPhase = Phase::ready;
    else if (was == Phase::identifying || was == Phase::readingVersion)
        currentPhase = Phase::connectionFailed;
    if (was == Phase::running)
        view.jobsEnded(!failed);
    if (failed && reason == StepFailure::timeOut)
        lookAgain();
}

void UpdateController::endUpdateWell()
{
    currentPhase = Phase::ready;
    appendHistoryRecord(true, "Update OK!", StepFailure::none);
    folderLock.reset();
    view.showProgressBar(false);
    setControlsEnabled(true, Tone::success);
    view.updateRunning(false);
    view.showStatus("Update OK!");
    view.updateSucceeded();
}

// ---- the update history -------------------------------------------------------------

// What is known when an update starts writing; the end, the result and the
// duration follow when it ends.
void UpdateController::beginHistoryRecord(UpdatePlan::Path path, const juce::String& imageMd5)
{
    history::Record r;
    r.start = juce::Time::getCurrentTime();
    r.program = TAMARIND_VERSION;
    r.input = link.pairedInputName();
    r.output = link.pairedOutputName();
    r.flash = flashName;
    r.versionBefore = deviceVersionText;
    // The version the piano holds once the checked bytes are written.
    r.versionAfter = versionBlockText(
        readVersionBlock(updateImage.getData(), updateImage.getSize(), image::kMarkerOffsetInImage).get());
    r.image = juce::File(imagePath).getFullPathName(); // with the platform's separators
    r.imageMd5 = imageMd5;
    r.path = path == UpdatePlan::Path::safe ? "safe" : path == UpdatePlan::Path::plain ? "plain" : "repair";
    historyRecord = std::move(r);
    historyStartMs = juce::Time::getMillisecondCounterHiRes();
}

// The running update's record goes into the history beside the lock and the
// backup, still under the folder's lock. A history that cannot be written
// costs one log line, never the update.
void UpdateController::appendHistoryRecord(bool ok, const juce::String& result, StepFailure reason)
{
    if (!historyRecord)
        return;
    auto record = std::move(*historyRecord);
    historyRecord.reset();
    record.end = juce::Time::getCurrentTime();
    record.seconds = juce::jmax(0.0, (juce::Time::getMillisecondCounterHiRes() - historyStartMs) / 1000.0);
    record.result = result;
    record.ok = ok;
    if (!ok)
    {
        // These failures stop the update before anything is erased; after any
        // other, what the piano holds is known only once it is read again.
        const bool nothingErased =
            reason == StepFailure::backupNotTrusted || reason == StepFailure::backupOfAnotherPiano;
        record.versionAfter = nothingErased ? record.versionBefore : juce::String();
    }
    const auto problem = history::append(juce::File(workingPath("")), record);
    if (problem.isNotEmpty())
        log.PrintA("The update history was not written: %s\n", problem.toRawUTF8());
}

// What is known of the instrument goes with its connection.
void UpdateController::forgetInstrument()
{
    detectedDriver = nullptr;
    detectedDriverLength = 0;
    flashName = {};
    versionRead = false;
    imageCheck = -1;
    checkedImageDigest = {};
    view.enableUpdate(false);
}

bool UpdateController::updateAllowed() const
{
    return detectedDriver != nullptr && versionRead && imageCheck == UpdateFileOk;
}

// The flash's size from the identified driver's sector table: the plan writes
// from address 0, so no image may be longer. Unknown without a driver.
juce::int64 UpdateController::flashCapacity() const
{
    const auto sectors = detectedDriver != nullptr
                             ? driverimage::readSectors(detectedDriver, detectedDriverLength)
                             : std::vector<SectorInfo>();
    if (sectors.empty())
        return image::kMaxImageSize;
    return juce::jmin(image::kMaxImageSize, sectors.back().start + sectors.back().size);
}

juce::int64 UpdateController::flashSize() const
{
    if (detectedDriver == nullptr)
        return 0;
    const auto sectors = driverimage::readSectors(detectedDriver, detectedDriverLength);
    return sectors.empty() ? 0 : sectors.back().start + sectors.back().size;
}

bool UpdateController::repairPending() const
{
    return platform::inspectFile(workingPath(platform::kUpdateLockFile), false) ==
           platform::FileKind::regular;
}

// The phase a job of the running list belongs to, for the steady bar.
void UpdateController::startSteadyProgress(const std::vector<OperationRecord>& list)
{
    const auto backup = workingPath(platform::kBackupFile), check = workingPath(platform::kRegionCheckFile),
               readBack = workingPath(platform::kReadBackFile);
    juce::String previous = "driver";
    auto phaseOf = [&](const auto& job) -> juce::String
    {
        using Kind = std::decay_t<decltype(job)>;
        if constexpr (std::is_same_v<Kind, jobs::SendDriver>)
            return previous = "driver";
        else if constexpr (std::is_same_v<Kind, jobs::ReadToFile>)
            return previous = job.path == backup     ? "backup"
                              : job.path == check    ? "check"
                              : job.path == readBack ? "read-back"
                                                     : "read";
        else if constexpr (std::is_same_v<Kind, jobs::CheckBackup>)
            return previous = "check";
        else if constexpr (std::is_same_v<Kind, jobs::LockFile>)
            return previous = "lock";
        else if constexpr (std::is_same_v<Kind, jobs::EraseForBuffer>)
            return previous = "erase";
        else if constexpr (std::is_same_v<Kind, jobs::ProgramFromBuffer>)
            return previous = "program";
        else if constexpr (std::is_same_v<Kind, jobs::EraseFromFile> ||
                           std::is_same_v<Kind, jobs::ProgramFromFile>)
            return previous = "restore";
        else if constexpr (std::is_same_v<Kind, jobs::CompareFiles> ||
                           std::is_same_v<Kind, jobs::CompareWithBuffer>)
            return previous = "compare";
        else
            return previous; // a step within the phase before it
    };
    steady.start(list, [&](const OperationRecord& job) { return std::visit(phaseOf, job); });
}

void UpdateController::showSteadyProgress()
{
    view.showSteadyProgress(steady.phase(), steady.fraction());
}

// ---- the version and the image ----------------------------------------------------

void UpdateController::onVersionRead(const std::vector<char16_t>& block)
{
    if (block.size() < (size_t)image::kVersionBlockUnits)
        return;
    const auto version = versionBlockText(block.data(), 0);
    versionRead = version != "error";
    if (!versionRead)
    {
        currentPhase = Phase::connectionFailed;
        view.showStatus("Someting error when getting version from device.");
        log.PrintA("Someting error when getting version from device.\n");
        return;
    }
    showDeviceFacts(version, versionBlockText(block.data(), image::kProductNameIndex));
    currentPhase = Phase::ready;
    checkImage();
}

void UpdateController::showDeviceFacts(const juce::String& version, const juce::String& product)
{
    deviceVersionText = version.length() == image::kVersionChars ? version : juce::String();
    if (deviceVersionText.isNotEmpty())
    {
        log.PrintA("Device Version:");
        log.SetTextColour(LogColour::green);
        log.PrintW(L"%ls\n", version.toWideCharPointer());
        log.SetTextColour(LogColour::black);
    }
    else
        log.PrintA("No version info in device.\n");
    view.showDeviceVersion(deviceVersionText);
    deviceProductName = product;
    if (product.isNotEmpty())
        view.showDeviceName(product, UpdateView::NameState::known);
    else
        view.showDeviceName("Can't get product name from device!", UpdateView::NameState::unknown);
}

void UpdateController::checkImage()
{
    if (!imageWanted)
        return;
    UpdateFileFacts facts;
    const int result = checkUpdateImage(imagePath, deviceProductName, &log, facts, flashCapacity());
    takeImageFacts(facts, result);
    showImageResult(result);
}

// Keeps what the check of "update.rom" found, and a digest of the bytes it
// passed so that UPDATE can tell whether the file is still the one checked.
void UpdateController::takeImageFacts(const UpdateFileFacts& facts, int result)
{
    if (facts.productName)
        fileProductName = *facts.productName;
    if (facts.version)
        view.showFileVersion(*facts.version);
    imageCheck = result;
    checkedImageDigest = result == UpdateFileOk ? juce::SHA256(facts.bytes) : juce::SHA256();
}

// The status line, log line and UPDATE state for a result of the image check.
void UpdateController::showImageResult(int result)
{
    view.enableUpdate(result == UpdateFileOk && updateAllowed());
    if (result == UpdateFileOk)
        log.PrintA("Ready to program");
    else if (result == UpdateFileModified)
        log.PrintA("The update file is modified!\n");
    else if (result == UpdateFileProductMismatch)
        view.showDeviceName(deviceProductName, UpdateView::NameState::mismatch);
    if (result == UpdateFileOk &&
        platform::inspectFile(workingPath(platform::kUpdateLockFile), false) == platform::FileKind::regular)
    {
        // After a crash of the computer nothing else would tell the user. The
        // notice names the piano the backup came from, so that the owner of
        // another piano is not told to finish someone else's update.
        juce::String problem;
        const auto recordPath =
            backuprecord::recordFileOf(juce::File(workingPath(platform::kBackupFile))).getFullPathName();
        const auto record =
            platform::isPrivate(workingPath(""), problem) && platform::isPrivate(recordPath, problem)
                ? backuprecord::read(juce::File(recordPath), problem)
                : std::nullopt;
        if (problem.isNotEmpty())
            log.PrintA("%s\n", problem.toRawUTF8());
        if (record)
            log.PrintA("\nThe interrupted update was of %s.", record->describe().toRawUTF8());
        const bool otherPiano =
            record && ((record->flashModel.isNotEmpty() && record->flashModel != flashName) ||
                       record->inputPort != link.pairedInputName());
        if (otherPiano)
        {
            log.PrintA(
                "\nAn earlier update of another piano was interrupted. Connect that piano to finish it.\n");
            view.showStatus(
                "An earlier update of another piano was interrupted. Connect that piano to finish it.");
            return;
        }
        log.PrintA("\nAn earlier update was interrupted. Press UPDATE to finish it.\n");
        view.showStatus("An earlier update was interrupted. Press UPDATE to finish it.");
        return;
    }
    view.showStatus(updateFileStatusText(result));
}
