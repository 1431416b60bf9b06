#include "device/OperationQueue.h"
#include <cstring>

namespace
{
void copyName(char dest[18], const char* src)
{
    std::memset(dest, 0, 18);
    if (src != nullptr)
        std::strncpy(dest, src, 17);
}
} // namespace

OperationQueue::OperationQueue(CLogOutput* log, juce::MessageListener* listener, midi::PortSet& ports,
                               Communication::TickPeriods periods)
    : comm(log, listener, ports, periods)
{
}

void OperationQueue::addSendDriver(const juce::uint8* image, int length, const char* name, float s, float e)
{
    OperationRecord r;
    r.op = OperationRecord::SendDriver;
    r.image = image;
    r.imageLength = length;
    copyName(r.name, name);
    r.shareStart = s;
    r.shareEnd = e;
    records.push_back(r);
}

void OperationQueue::addTestFlash(const char* mcuName, const char* flashName, const juce::uint8* image,
                                  int length)
{
    OperationRecord r;
    r.op = OperationRecord::TestFlash;
    copyName(r.mcuName, mcuName);
    copyName(r.flashName, flashName);
    r.image = image;
    r.imageLength = length;
    records.push_back(r);
}

void OperationQueue::addEraseFromFile(const juce::String& path, int page, juce::int64 fileOffset,
                                      juce::int64 flashOffset, juce::int64 length, float s, float e)
{
    OperationRecord r;
    r.op = OperationRecord::EraseFromFile;
    r.path = path;
    r.page = page;
    r.fileOffset = fileOffset;
    r.flashOffset = flashOffset;
    r.length = length;
    r.shareStart = s;
    r.shareEnd = e;
    records.push_back(r);
}

void OperationQueue::addEraseBuffer(float s, float e)
{
    OperationRecord r;
    r.op = OperationRecord::EraseBuffer;
    r.page = 0;
    r.flashOffset = 0x40000;
    r.length = 0x20000;
    r.fileOffset = 0;
    r.shareStart = s;
    r.shareEnd = e;
    records.push_back(r);
}

void OperationQueue::addEraseForBuffer(juce::int64 flashOffset, juce::int64 length, float s, float e)
{
    addEraseBuffer(s, e);
    records.back().flashOffset = flashOffset;
    records.back().length = length;
}

void OperationQueue::addProgramFromFile(const juce::String& path, int page, juce::int64 fileOffset,
                                        juce::int64 flashOffset, juce::int64 length, float s, float e)
{
    addEraseFromFile(path, page, fileOffset, flashOffset, length, s, e);
    records.back().op = OperationRecord::ProgramFromFile;
}

void OperationQueue::addProgramFromBuffer(const juce::uint8* data, juce::int64 flashOffset,
                                          juce::int64 length, float s, float e)
{
    OperationRecord r;
    r.op = OperationRecord::ProgramFromBuffer;
    r.image = data;
    r.flashOffset = flashOffset;
    r.length = length;
    r.shareStart = s;
    r.shareEnd = e;
    records.push_back(r);
}

void OperationQueue::addReadToFile(const juce::String& path, int page, juce::int64 flashOffset,
                                   juce::int64 length, float s, float e)
{
    OperationRecord r;
    r.op = OperationRecord::ReadToFile;
    r.path = path;
    r.page = page;
    r.flashOffset = flashOffset;
    r.length = length;
    r.shareStart = s;
    r.shareEnd = e;
    records.push_back(r);
}

void OperationQueue::addCompareFiles(const juce::String& writtenPath, juce::int64 fileOffset,
                                     const juce::String& readBackPath)
{
    OperationRecord r;
    r.op = OperationRecord::CompareFiles;
    r.path = writtenPath;
    r.fileOffset = fileOffset;
    r.path2 = readBackPath;
    records.push_back(r);
}

void OperationQueue::addCompareWithBuffer(const juce::uint8* data, juce::int64 length,
                                          const juce::String& readBackPath)
{
    addCompareFiles({}, 0, readBackPath);
    records.back().image = data;
    records.back().length = length;
}

void OperationQueue::addReadVersion(const juce::String& path)
{
    OperationRecord r;
    r.op = OperationRecord::ReadVersion;
    r.path = path;
    records.push_back(r);
}

void OperationQueue::addSaveIoStatus()
{
    OperationRecord r;
    r.op = OperationRecord::SaveIoStatus;
    records.push_back(r);
}

void OperationQueue::addLockFile(const juce::String& path, int mode)
{
    OperationRecord r;
    r.op = OperationRecord::LockFile;
    r.path = path;
    r.mode = mode;
    records.push_back(r);
}

bool OperationQueue::runNext()
{
    if (nextIndex >= records.size())
    {
        currentRecord.op = 0;
        return true;
    }
    currentRecord = records[nextIndex];
    if (jobObserver)
        jobObserver(nextIndex, currentRecord);
    ++nextIndex;
    const int before = comm.currentJobSerial();
    start(currentRecord);
    const int after = comm.currentJobSerial();
    currentSerial = after != before ? after : 0;
    // The version read ends with EvVersionRead, never with a step-done.
    currentAccepted = currentRecord.op == OperationRecord::ReadVersion;
    return false;
}

bool OperationQueue::acceptStepDone(int serial)
{
    if (currentRecord.op == 0 || currentAccepted || currentSerial == 0 || serial != currentSerial)
        return false;
    currentAccepted = true;
    return true;
}

void OperationQueue::clearQueue()
{
    records.clear();
    nextIndex = 0;
    currentRecord.op = 0;
    currentSerial = 0;
    currentAccepted = true;
}

bool OperationQueue::nextIsDriverUpload() const
{
    return nextIndex < records.size() && (records[nextIndex].op == OperationRecord::None ||
                                          records[nextIndex].op == OperationRecord::SendDriver);
}

void OperationQueue::start(const OperationRecord& r)
{
    switch (r.op)
    {
    case OperationRecord::SendDriver:
        comm.sendFlashDriver(r.image, r.imageLength, r.name, r.shareStart, r.shareEnd);
        break;
    case OperationRecord::TestFlash:
        comm.testFlash(0, r.flashName);
        break;
    case OperationRecord::EraseFromFile:
        comm.eraseRange(r.path, r.page, r.flashOffset, r.length, r.fileOffset, r.shareStart, r.shareEnd);
        break;
    case OperationRecord::EraseBuffer:
        comm.eraseRange(Communication::bufferPath, 0, r.flashOffset, r.length, 0, r.shareStart, r.shareEnd);
        break;
    case OperationRecord::ProgramFromFile:
        comm.programFile(r.path, r.page, r.fileOffset, r.flashOffset, r.length, r.shareStart, r.shareEnd);
        break;
    case OperationRecord::ProgramFromBuffer:
        comm.programBuffer(r.image, 0, r.flashOffset, r.length, r.shareStart, r.shareEnd);
        break;
    case OperationRecord::ReadToFile:
        comm.readToFile(r.path, r.page, r.flashOffset, r.length, r.shareStart, r.shareEnd);
        break;
    case OperationRecord::CompareFiles:
        if (r.image != nullptr)
            comm.compareBuffer(r.image, r.length, r.path2);
        else
            comm.compareFiles(r.path, r.fileOffset, r.path2);
        break;
    case OperationRecord::ReadVersion:
        comm.postVersionFromFile(r.path);
        break;
    case OperationRecord::SaveIoStatus:
        comm.testFlash(0, "Save_IO_Sta");
        break;
    case OperationRecord::LockFile:
        comm.writeLockFile(r.path, r.mode);
        break;
    default:
        break;
    }
}
