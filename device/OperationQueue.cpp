#include "device/OperationQueue.h"

void OperationQueue::add(const std::vector<OperationRecord>& list)
{
    records.insert(records.end(), list.begin(), list.end());
}

bool OperationQueue::runNext()
{
    if (nextIndex >= records.size())
    {
        currentRecord.reset();
        return true;
    }
    currentRecord = records[nextIndex];
    if (jobObserver)
        jobObserver(nextIndex, *currentRecord);
    ++nextIndex;
    wroteFlash = wroteFlash || jobs::writesFlash(*currentRecord);
    const int before = comm.currentJobSerial();
    jobs::start(comm, *currentRecord);
    const int after = comm.currentJobSerial();
    currentSerial = after != before ? after : 0;
    // The version read ends with EvVersionRead, never with a step-done.
    currentAccepted = jobs::is<jobs::ReadVersion>(*currentRecord);
    return false;
}

bool OperationQueue::acceptStepDone(int serial)
{
    if (!currentRecord || currentAccepted || currentSerial == 0 || serial != currentSerial)
        return false;
    currentAccepted = true;
    return true;
}

void OperationQueue::clearQueue()
{
    records.clear();
    nextIndex = 0;
    currentRecord.reset();
    currentSerial = 0;
    currentAccepted = true;
    wroteFlash = false;
}

bool OperationQueue::nextIsDriverUpload() const
{
    return nextIndex < records.size() && jobs::is<jobs::SendDriver>(records[nextIndex]);
}
