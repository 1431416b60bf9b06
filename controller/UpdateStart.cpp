#include "controller/UpdateController.h"
#include "platform/FolderLock.h"
#include "platform/SafeFile.h"
#include "platform/WorkFolder.h"
#include "platform/WorkingFiles.h"
#include "update/UpdateImage.h"
#include <juce_cryptography/juce_cryptography.h>

// ---- the update ------------------------------------------------------------------

void UpdateController::requestUpdate()
{
    // Nothing but this starts an update, and only when it may start; that is
    // checked again before the first question and after the last (device
    // events are handled while a question is open).
    auto refused = [this]
    {
        if (!isUpdating() && updateAllowed())
            return false;
        view.enableUpdate(false);
        log.PrintA(
            "UPDATE refused: the flash, the piano's version or the update file has not been checked.\n");
        return true;
    };
    if (refused())
        return;
    juce::String question = "Update your device?";
    if (fileProductName != deviceProductName &&
        !view.confirm("Continue?", "The product name in the update file is\n" + fileProductName +
                                       "\nare you sure to continue?"))
        return;
    if (!view.confirm("Start update?", question) || refused())
        return;
    // One update at a time per working folder, to its end: another program's
    // update would take this one's lock and backup for its own (and write them
    // into its piano). Taken once the user said YES, so a NO leaves the folder
    // as it was.
    auto lock = takeFolderLock();
    if (lock == nullptr)
        return;
    juce::MemoryBlock image;
    if (readCheckedImage(image))
        startUpdate(std::move(image));
    if (isUpdating())
        folderLock = std::move(lock);
}

// The working folder and its files must be the user's alone: another user
// who can write there could swap the backup or the lock between two runs.
bool UpdateController::workingFilesArePrivate()
{
    const auto record = backuprecord::recordFileOf(juce::File(workingPath(platform::kBackupFile)));
    const juce::String paths[] = {workingPath(""),
                                  workingPath(platform::kFolderLockName),
                                  workingPath(platform::kUpdateLockFile),
                                  workingPath(platform::kBackupFile),
                                  record.getFullPathName(),
                                  workingPath(platform::kReadBackFile),
                                  workingPath(platform::kRegionCheckFile)};
    for (const auto& path : paths)
    {
        juce::String problem;
        if (!platform::isPrivate(path, problem))
        {
            log.PrintA("%s\n", problem.toRawUTF8());
            log.PrintA("The working folder and its files must be yours alone: nothing was changed.\n");
            view.showStatus("The working folder is not yours alone. Nothing was changed.");
            view.updateRefused(UpdateView::UpdateRefusal::folderNotPrivate);
            return false;
        }
    }
    return true;
}

std::unique_ptr<platform::FolderLock> UpdateController::takeFolderLock()
{
    if (!workingFilesArePrivate())
        return nullptr;
    const auto path = workingPath(platform::kFolderLockName);
    auto result = platform::FolderLock::Result::failed;
    juce::String problem;
    auto lock = platform::FolderLock::take(path, result, problem);
    if (lock != nullptr)
        return lock;
    if (result == platform::FolderLock::Result::busy)
    {
        log.PrintA("Another program is updating from the same working folder (%s is locked).\n",
                   platform::printablePath(path).toRawUTF8());
        view.showStatus("Another update is running on this computer.");
        view.updateRefused(UpdateView::UpdateRefusal::folderBusy);
    }
    else
    {
        log.PrintA("%s\n", problem.toRawUTF8());
        view.showStatus("Can't lock the working folder.");
        view.updateRefused(UpdateView::UpdateRefusal::folderLockFailed);
    }
    return nullptr;
}

// Reads "update.rom" once and checks those bytes again: the update writes
// exactly them. The plan and the user's confirmation rest on the check at
// connection, so bytes other than the ones it passed are not written.
bool UpdateController::readCheckedImage(juce::MemoryBlock& image)
{
    UpdateFileFacts facts;
    const int result = checkUpdateImage(imagePath, deviceProductName, &log, facts, flashCapacity());
    if (result == UpdateFileOk && juce::SHA256(facts.bytes) == checkedImageDigest)
    {
        image = std::move(facts.bytes);
        return true;
    }
    log.PrintA("The update file has changed since it was checked.\n");
    if (result != UpdateFileOk)
    {
        // The connect-status control checks the file again once it is fixed.
        imageCheck = result;
        checkedImageDigest = {};
        showImageResult(result);
        view.enableConnect(true);
        return false;
    }
    // Another good image: show what it holds and let the user confirm it.
    takeImageFacts(facts, result);
    view.showStatus("The update file has changed. Press UPDATE again.");
    return false;
}

void UpdateController::startUpdate(juce::MemoryBlock image)
{
    log.Clear();
    queue.clearQueue();
    view.showStatus("Updating....");
    // Every region of the image is written from the bytes that were checked,
    // and the read-back is compared with them. They stay until the next update.
    updateImage = std::move(image);
    PlanInputs in;
    in.image = static_cast<const juce::uint8*>(updateImage.getData());
    in.imageSize = (juce::int64)updateImage.getSize();
    in.workDriver = detectedDriver;
    in.workDriverLength = detectedDriverLength;
    in.lockPath = workingPath(platform::kUpdateLockFile);
    in.backupPath = workingPath(platform::kBackupFile);
    in.readBackPath = workingPath(platform::kReadBackFile);
    in.regionCheckPath = workingPath(platform::kRegionCheckFile);
    // The lock and the backup are looked at, never through a link; anything
    // else in the lock's place is no lock (creating the lock then refuses it).
    in.lockPresent = platform::inspectFile(in.lockPath, false) == platform::FileKind::regular;
    juce::int64 backupSize = 0;
    const auto backupKind = platform::inspectFile(in.backupPath, false, &backupSize);
    in.backupUsable = backupKind == platform::FileKind::regular && backupSize == region::data.length;

    const auto plan = makeUpdatePlan(in);
    if (plan.path == UpdatePlan::Path::repair && !backupRecordFits(in.backupPath))
    {
        view.showStatus("The saved backup belongs to another piano. Nothing was changed.");
        view.updateRefused(UpdateView::UpdateRefusal::backupOfAnotherPiano);
        return;
    }
    const auto imageMd5 = juce::MD5(updateImage).toHexString();
    if (plan.path == UpdatePlan::Path::safe)
    {
        BackupRecord owner;
        owner.flashModel = flashName;
        owner.inputPort = link.pairedInputName();
        owner.outputPort = link.pairedOutputName();
        owner.product = deviceProductName;
        owner.version = deviceVersionText;
        owner.imageMd5 = imageMd5;
        link.setBackupOwner(owner);
    }
    if (plan.path == UpdatePlan::Path::refused)
    {
        if (backupKind != platform::FileKind::regular && backupKind != platform::FileKind::missing)
            log.PrintA("%s\n",
                       platform::refusal(in.backupPath, platform::describeKind(backupKind)).toRawUTF8());
        view.showStatus("Found an error can't be fixed in the last update.");
        view.updateRefused(UpdateView::UpdateRefusal::unfixable);
        return;
    }
    juce::String problem;
    if (plan.path == UpdatePlan::Path::plain && !platform::removeWorkingFile(in.lockPath, problem))
    {
        // A folder or a link in the lock's place is left alone.
        if (problem.isNotEmpty())
            log.PrintA("%s\n", problem.toRawUTF8());
        log.PrintA("Can't delete the lock file!\n");
    }
    link.setWordAddressing(false); // the jobs' offsets are byte offsets, whatever a preset chose
    queue.add(plan.jobs);
    beginHistoryRecord(plan.path, imageMd5);
    currentPhase = Phase::updating;
    progressValue = 0.0;
    view.showProgressBar(true);
    setControlsEnabled(false, Tone::success);
    view.updateRunning(true);
    startSteadyProgress(plan.jobs);
    queue.runNext();
    showSteadyProgress();
}

// The record beside an interrupted update's backup says which piano it came
// from. A backup of a piano with another flash, or one changed since it was
// saved, is never written into this one. (Without a record, as earlier
// versions left it, only the check of the data region decides.)
bool UpdateController::backupRecordFits(const juce::String& backupPath)
{
    const juce::File backup(backupPath);
    juce::String problem;
    const auto record = backuprecord::read(backuprecord::recordFileOf(backup), problem);
    if (problem.isNotEmpty())
    {
        log.PrintA("%s\n", problem.toRawUTF8());
        log.PrintA("The saved backup's record cannot be read: it is not written into this piano. The backup "
                   "and the lock are kept.\n");
        return false;
    }
    if (!record)
        return true;
    log.PrintA("The interrupted update was of %s.\n", record->describe().toRawUTF8());
    juce::int64 length = 0;
    const auto md5 = backuprecord::md5OfFile(backup, &length);
    if (md5 != record->backupMd5 || length != record->backupLength)
    {
        log.PrintA("The saved backup has changed since it was saved: it is not written into this piano. The "
                   "backup and the lock are kept.\n");
        return false;
    }
    if (record->flashModel.isNotEmpty() && record->flashModel != flashName)
    {
        log.PrintA("The saved backup belongs to another piano (flash %s, this one has %s): nothing is "
                   "written. The backup and the lock are kept.\n",
                   record->flashModel.toRawUTF8(), flashName.toRawUTF8());
        return false;
    }
    return true;
}

bool UpdateController::runJobs(std::vector<OperationRecord> list)
{
    if (currentPhase != Phase::ready || list.empty())
        return false;
    queue.clearQueue();
    queue.add(list);
    currentPhase = Phase::running;
    progressValue = 0.0;
    view.showProgressBar(true);
    setControlsEnabled(false, Tone::success);
    startSteadyProgress(list);
    queue.runNext();
    showSteadyProgress();
    return true;
}
