#include "device/OperationQueue.h"
#include <cstring>

OperationQueue::OperationQueue(CLogOutput* log, juce::MessageListener* listener, midi::PortSet& ports,
                               Communication::TickPeriods periods, platform::Services* services)
    : comm(log, listener, ports, periods, services)
{
}

void OperationQueue::add(const std::vector<OperationRecord>& list)
{
    records.insert(records.end(), list.begin(), list.end());
}

void OperationQueue::addSendDriver(const juce::uint8* image, int length, const char* name, float s, float e)
{
    add(jobs::sendDriver(image, length, name, s, e));
}

void OperationQueue::addTestFlash(const char* mcuName, const char* flashName, const juce::uint8* image,
                                  int length)
{
    add(jobs::testFlash(mcuName, flashName, image, length));
}

void OperationQueue::addEraseFromFile(const juce::String& path, int page, juce::int64 fileOffset,
                                      juce::int64 flashOffset, juce::int64 length, float s, float e)
{
    add(jobs::eraseFromFile(path, page, fileOffset, flashOffset, length, s, e));
}

// The data region, without reading a file.
void OperationQueue::addEraseBuffer(float s, float e)
{
    add(jobs::eraseForBuffer(Communication::kDataRegionStart, Communication::kDataRegionBytes, s, e));
}

void OperationQueue::addEraseForBuffer(juce::int64 flashOffset, juce::int64 length, float s, float e)
{
    add(jobs::eraseForBuffer(flashOffset, length, s, e));
}

void OperationQueue::addProgramFromFile(const juce::String& path, int page, juce::int64 fileOffset,
                                        juce::int64 flashOffset, juce::int64 length, float s, float e)
{
    add(jobs::programFromFile(path, page, fileOffset, flashOffset, length, s, e));
}

void OperationQueue::addProgramFromBuffer(const juce::uint8* data, juce::int64 flashOffset,
                                          juce::int64 length, float s, float e)
{
    add(jobs::programFromBuffer(data, flashOffset, length, s, e));
}

void OperationQueue::addReadToFile(const juce::String& path, int page, juce::int64 flashOffset,
                                   juce::int64 length, float s, float e)
{
    add(jobs::readToFile(path, page, flashOffset, length, s, e));
}

void OperationQueue::addCompareFiles(const juce::String& writtenPath, juce::int64 fileOffset,
                                     const juce::String& readBackPath)
{
    add(jobs::compareFiles(writtenPath, fileOffset, readBackPath));
}

void OperationQueue::addCompareWithBuffer(const juce::uint8* data, juce::int64 length,
                                          const juce::String& readBackPath)
{
    add(jobs::compareWithBuffer(data, length, readBackPath));
}

void OperationQueue::addReadVersion(const juce::String& path)
{
    add(jobs::readVersion(path));
}

void OperationQueue::addSaveIoStatus()
{
    add(jobs::saveIoStatus());
}

void OperationQueue::addLockFile(const juce::String& path, int mode)
{
    add(jobs::lockFile(path, (LockMode)mode));
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
    jobs::start(comm, currentRecord);
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
