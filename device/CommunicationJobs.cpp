// The link's jobs: each checks what it needs, then hands its exchanges to
// the transfer engine or does its file work; its end is posted as EvStepDone.
#include "device/Communication.h"
#include "device/FileJobs.h"
#include "device/FlashLayout.h"
#include "device/FlashRange.h"
#include "device/VersionBlock.h"

bool Communication::refuseWithoutSectorTable()
{
    if (!sectorTable.empty())
        return false;
    engine.abort("Flash infomation is not correct.\n", StepFailure::none);
    return true;
}

bool Communication::refuseWithoutOutput()
{
    if (pairing.output() != nullptr)
        return false;
    if (showMessage)
        showMessage("No out device");
    engine.abort("No out device\n", StepFailure::none);
    return true;
}

bool Communication::loadFile(const juce::String& path)
{
    fileBuffer.clear();
    // The link's files are never read through a link, a FIFO or a device.
    juce::String problem;
    auto in = platform::RegularFileInput::open(path, false, problem);
    if (in == nullptr)
    {
        logProblem(problem);
        return false;
    }
    const auto size = in->getTotalLength();
    if (size < 0 || size > 0x40000000)
        return false;
    fileBuffer.resize((size_t)size);
    return in->read(fileBuffer.data(), (int)size) == (int)size;
}

// ---- operations (message thread) ---------------------------------------------------

void Communication::sendFlashDriver(const juce::uint8* image, int imageLength, const char* name,
                                    float shareStart, float shareEnd)
{
    const std::lock_guard<std::mutex> g(lock);
    engine.beginJob();
    driverCopy.assign(image, image + juce::jmax(0, imageLength));
    sectorTable = driverimage::readSectors(driverCopy.data(), (int)driverCopy.size());
    if (sectorTable.empty())
    {
        driverCopy.clear();
        engine.abort("Flash infomation is not correct.", StepFailure::none);
        return;
    }
    postShare(shareStart, shareEnd);
    if (refuseWithoutOutput())
        return;
    engine.startUpload(driverCopy.data(), (juce::int64)driverCopy.size());
    if (log != nullptr)
        log->PrintA("Sending flash driver for \"%s\"...\n", name);
}

void Communication::testFlash(int parameter, const char* name, bool careful)
{
    const std::lock_guard<std::mutex> g(lock);
    engine.beginJob();
    if (log != nullptr)
        log->PrintA("Testing flash \"%s\"...", name);
    engine.startTestFlash(parameter, careful);
}

void Communication::eraseFromFile(const juce::String& path, int page, juce::int64 flashOffset,
                                  juce::int64 length, juce::int64 fileOffset, float shareStart,
                                  float shareEnd)
{
    const std::lock_guard<std::mutex> g(lock);
    engine.beginJob();
    if (refuseWithoutSectorTable())
        return;
    if (path.isEmpty())
    {
        engine.abort("Please select a file to write first\n", StepFailure::cantOpenFileToProgram);
        return;
    }
    if (!loadFile(path))
    {
        engine.abort("Can't open file to program.\n", StepFailure::cantOpenFileToProgram);
        return;
    }
    if (wordAddressing)
    {
        flashOffset *= 2;
        length *= 2;
        fileOffset *= 2;
    }
    eraseSectors({page, flashOffset, length, fileOffset, (juce::int64)fileBuffer.size()}, shareStart,
                 shareEnd);
}

void Communication::eraseForBuffer(juce::int64 flashOffset, juce::int64 length, float shareStart,
                                   float shareEnd)
{
    const std::lock_guard<std::mutex> g(lock);
    engine.beginJob();
    if (refuseWithoutSectorTable())
        return;
    eraseSectors({0, flashOffset, length, 0, length}, shareStart, shareEnd);
}

void Communication::eraseSectors(const flashrange::EraseRequest& request, float shareStart, float shareEnd)
{
    const int page = request.page;
    const auto plan = flashrange::planErase(sectorTable, request);
    if (plan.error == flashrange::EraseError::offsetNotAtSectorStart)
        return engine.abort("Flash offset must at the start of one sector!\n", StepFailure::none);
    if (plan.error == flashrange::EraseError::fileOffsetBeyondData)
        return engine.abort("File offset is beyond the end of the data.\n", StepFailure::none);
    if (plan.cutAtFlashEnd && log != nullptr)
        log->PrintA("Program length is larger than the flash size.\n");
    if (plan.reportLength && log != nullptr)
        log->PrintA("Program length is set to %xh bytes.\n", (unsigned)plan.programLength);
    if (plan.error == flashrange::EraseError::emptyRange)
        return engine.abort("Something wrong in program...\n", StepFailure::none);

    std::vector<juce::uint32> words;
    for (int i = plan.firstSector; i < plan.endSector; ++i)
        words.push_back(flashrange::sectorWordAddress(sectorTable, page, i));
    if (log != nullptr)
        log->PrintA("Erasing ...\n");
    postShare(shareStart, shareEnd);
    engine.startErase(std::move(words));
}

void Communication::programFile(const juce::String& path, int page, juce::int64 fileOffset,
                                juce::int64 flashOffset, juce::int64 length, float shareStart, float shareEnd)
{
    const std::lock_guard<std::mutex> g(lock);
    engine.beginJob();
    if (refuseWithoutSectorTable())
        return;
    if (path.isEmpty())
        return engine.abort("Please select a file to write first\n", StepFailure::cantOpenFileToProgram);
    if (!loadFile(path))
        return engine.abort("Can't open file to program.\n", StepFailure::cantOpenFileToProgram);
    const auto size = (juce::int64)fileBuffer.size();
    if (wordAddressing)
    {
        fileOffset *= 2;
        flashOffset *= 2;
        length *= 2;
    }
    const auto programLength = length == 0 ? size - fileOffset : juce::jmin(size - fileOffset, length);
    if (fileOffset < 0 || programLength <= 0)
        return engine.abort("File offset is beyond the end of the data.\n", StepFailure::none);
    postShare(shareStart, shareEnd);
    if (refuseWithoutOutput())
        return;
    engine.startProgram(fileBuffer.data() + fileOffset,
                        (juce::int64)page * flashrange::kPageBytes + flashOffset, programLength);
}

void Communication::programBuffer(const juce::uint8* data, int page, juce::int64 flashOffset,
                                  juce::int64 length, float shareStart, float shareEnd)
{
    const std::lock_guard<std::mutex> g(lock);
    engine.beginJob();
    if (refuseWithoutSectorTable())
        return;
    if (data == nullptr || length <= 0)
        return engine.abort("Nothing to program.\n", StepFailure::none);
    postShare(shareStart, shareEnd);
    if (refuseWithoutOutput())
        return;
    engine.startProgram(data, (juce::int64)page * flashrange::kPageBytes + flashOffset, length);
}

void Communication::readToFile(const juce::String& path, int page, juce::int64 flashOffset,
                               juce::int64 length, float shareStart, float shareEnd)
{
    const std::lock_guard<std::mutex> g(lock);
    engine.beginJob();
    outputFile.reset();
    syncedReadFile = juce::File();
    syncedReadSize = -1;
    if (refuseWithoutSectorTable())
        return;
    if (path.isEmpty())
        return engine.abort("Please select a file to save the data.\n", StepFailure::cantCreateFile);
    outputPath = juce::File::isAbsolutePath(path) ? juce::File(path) : juce::File();
    juce::String problem;
    outputFile = platform::WorkingFileOutput::create(path, problem);
    if (outputFile == nullptr)
    {
        logProblem(problem);
        return engine.abort("Can't create file to save.\n", StepFailure::cantCreateFile);
    }
    if (wordAddressing)
    {
        flashOffset *= 2;
        length *= 2;
    }
    postShare(shareStart, shareEnd);
    const juce::int64 size = flashrange::flashSize(sectorTable);
    readTotal = length <= 0 || flashOffset + length > size ? size - flashOffset : length;
    if (readTotal <= 0 || flashOffset < 0)
        return engine.abort("Flash offset is beyond the end of the flash.\n", StepFailure::none);
    engine.startRead((juce::int64)page * flashrange::kPageBytes + flashOffset, readTotal,
                     pairing.fullSpeed());
}

// ---- compare, version, lock --------------------------------------------------------

void Communication::compareFiles(const juce::String& writtenPath, juce::int64 offset,
                                 const juce::String& readBackPath)
{
    const std::lock_guard<std::mutex> g(lock);
    engine.beginJob();
    if (log != nullptr)
        log->PrintA("Start comparing...\n");
    juce::String problem;
    auto written = platform::RegularFileInput::open(writtenPath, false, problem);
    logProblem(problem);
    compareWith(written.get(), wordAddressing ? offset * 2 : offset, readBackPath);
}

void Communication::compareBuffer(const juce::uint8* data, juce::int64 dataLength,
                                  const juce::String& readBackPath)
{
    const std::lock_guard<std::mutex> g(lock);
    engine.beginJob();
    if (log != nullptr)
        log->PrintA("Start comparing...\n");
    juce::MemoryInputStream written(data, (size_t)juce::jmax<juce::int64>(0, dataLength), false);
    compareWith(data != nullptr ? &written : nullptr, 0, readBackPath);
}

void Communication::compareWith(juce::InputStream* written, juce::int64 offset,
                                const juce::String& readBackPath)
{
    juce::String problem;
    auto readBack =
        written != nullptr ? platform::RegularFileInput::open(readBackPath, false, problem) : nullptr;
    logProblem(problem);
    if (written == nullptr || readBack == nullptr)
        return engine.abort("Can't open source file.\n", StepFailure::dataNotCorrect);
    const auto outcome = filejobs::compare(*written, offset, *readBack);
    if (outcome == filejobs::CompareOutcome::offsetBeyondEnd)
        return engine.abort("Write file length < Source offset!\n", StepFailure::dataNotCorrect);
    const bool differ = outcome == filejobs::CompareOutcome::differ;
    if (log != nullptr)
    {
        log->SetBold(true);
        log->PrintA("\n");
        log->PrintA(differ                                               ? "FAIL!\n"
                    : outcome == filejobs::CompareOutcome::sameOneLonger ? "OK! (One file is longer.)\n"
                                                                         : "OK!\n");
        log->SetBold(false);
    }
    differ ? engine.fail(StepFailure::dataNotCorrect) : engine.succeed();
}

void Communication::postVersionFromFile(const juce::String& path)
{
    {
        // The job's result is EvVersionRead rather than EvStepDone.
        const std::lock_guard<std::mutex> g(lock);
        engine.beginJob();
        engine.endJobSilently();
    }
    const auto block = readVersionBlock(path, image::kMarkerOffsetInVersionRead);
    postEvent(EvVersionRead{{block.get(), block.get() + image::kVersionBlockUnits}});
}

void Communication::writeLockFile(const juce::String& path, LockMode mode)
{
    const std::lock_guard<std::mutex> g(lock);
    engine.beginJob();
    const juce::File file = juce::File::isAbsolutePath(path) ? juce::File(path) : juce::File();
    if (mode == LockMode::create)
    {
        if (!backupIsComplete(file))
        {
            // The lock promises a repair from the backup: without a whole,
            // synced backup read by this link, nothing may be erased.
            if (log != nullptr)
                log->PrintA("The backup of the data region is missing or incomplete.\n");
            return engine.fail(StepFailure::backupNotTrusted);
        }
        // Read blocks carry no address: a block the instrument sent twice
        // shifts every later block of the read by one, checksums and all, and
        // shows only as one block too many arriving after the read's end. So
        // the lock waits until the link has been quiet for a while.
        pendingLock = file;
        afterQuiet = AfterQuiet::createLock;
        engine.startQuietWait();
        return;
    }
    if (mode == LockMode::remove)
    {
        // A folder or a link in the lock's place is refused and left alone.
        juce::String problem;
        const bool ok = filejobs::removeLock(file, problem, services);
        logProblem(problem);
        return ok ? engine.succeed() : engine.fail(StepFailure::cantDeleteLock);
    }
    engine.succeed();
}

void Communication::confirmReadSettled()
{
    const std::lock_guard<std::mutex> g(lock);
    engine.beginJob();
    afterQuiet = AfterQuiet::confirmRead;
    engine.startQuietWait();
}

void Communication::quietWaitEnded()
{
    engine.finishQuietWait();
    const int packets = engine.packetsSinceRead(), statuses = engine.statusesSinceRead();
    if (statuses != 0 && log != nullptr)
        log->PrintA("%d status replies nobody asked for arrived after the read; they change no data.\n",
                    statuses);
    if (afterQuiet == AfterQuiet::confirmRead)
    {
        if (packets == 0)
            return engine.succeed();
        if (log != nullptr)
            log->PrintA("%d data packets arrived after the read ended: its data is not trusted.\n", packets);
        return engine.fail(StepFailure::unclearReplies);
    }
    if (packets != 0)
    {
        // Only data packets can shift a read; one more than the read asked
        // for means the backup may hold another block's bytes.
        if (log != nullptr)
            log->PrintA("%d data packets arrived after the backup was read: the backup is not trusted.\n",
                        packets);
        return engine.fail(StepFailure::backupNotTrusted);
    }
    // The record of whose backup this is goes to disk before the lock that
    // promises a repair from it.
    juce::String problem;
    const auto backup = pendingLock.getSiblingFile(platform::fileName(platform::kBackupFile));
    auto record = backupOwner;
    record.backupMd5 = backuprecord::md5OfFile(backup, &record.backupLength);
    record.time = juce::Time::getCurrentTime().toISO8601(true);
    bool ok = record.backupMd5.isNotEmpty() &&
              backuprecord::write(backuprecord::recordFileOf(backup), record, problem, services);
    logProblem(problem);
    if (ok)
    {
        ok = filejobs::createLock(pendingLock, problem, services);
        logProblem(problem);
    }
    ok ? engine.succeed() : engine.fail(StepFailure::cantCreateLock);
}

void Communication::setBackupOwner(const BackupRecord& record)
{
    const std::lock_guard<std::mutex> g(lock);
    backupOwner = record;
}

void Communication::checkBackupFits(const juce::String& backupPath, const juce::String& regionPath)
{
    const std::lock_guard<std::mutex> g(lock);
    engine.beginJob();
    juce::String problem;
    juce::MemoryBlock backup, region;
    auto load = [&](const juce::String& path, juce::MemoryBlock& into)
    {
        auto in = platform::RegularFileInput::open(path, false, problem);
        logProblem(problem);
        return in != nullptr && in->getTotalLength() == region::data.length &&
               in->readIntoMemoryBlock(into, region::data.length) == (size_t)region::data.length;
    };
    if (!load(backupPath, backup) || !load(regionPath, region))
    {
        if (log != nullptr)
            log->PrintA("The saved backup or the piano's data region could not be read for the check.\n");
        return engine.fail(StepFailure::backupOfAnotherPiano);
    }
    int block = 0;
    const bool fits = backuprecord::regionFits(static_cast<const juce::uint8*>(region.getData()),
                                               static_cast<const juce::uint8*>(backup.getData()),
                                               region::data.length, deviceimages::interimImage(),
                                               deviceimages::kInterimSize, sysex::kBlockSize, &block);
    if (fits)
    {
        if (log != nullptr)
            log->PrintA("The piano's data region fits the saved backup: it is restored from it.\n");
        return engine.succeed();
    }
    if (log != nullptr)
        log->PrintA("The saved backup does not fit this piano's data region (block %d at 0x%X differs): it "
                    "belongs to another piano. Nothing was written; the backup and the lock are kept.\n",
                    block, (unsigned)(region::data.start + (juce::int64)block * sysex::kBlockSize));
    engine.fail(StepFailure::backupOfAnotherPiano);
}

// The backup beside a lock: the data region as the last read of this link
// wrote it, whole, synced and unchanged in size since.
bool Communication::backupIsComplete(const juce::File& lockFile) const
{
    if (lockFile == juce::File())
        return false;
    const auto backup = lockFile.getSiblingFile(platform::fileName(platform::kBackupFile));
    juce::int64 size = 0;
    return backup == syncedReadFile && syncedReadSize == region::data.length &&
           platform::inspectFile(backup.getFullPathName(), false, &size) == platform::FileKind::regular &&
           size == region::data.length;
}
