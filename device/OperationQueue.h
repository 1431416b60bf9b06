#pragma once
#include "device/Communication.h"
#include "device/Jobs.h"
#include <functional>
#include <vector>

// The device jobs of one sequence, run one at a time: the owner calls runNext
// to start a sequence and again after each successful EvStepDone.
class OperationQueue
{
public:
    OperationQueue(CLogOutput* log, juce::MessageListener* listener, midi::PortSet& ports,
                   Communication::TickPeriods periods = {}, platform::Services* services = nullptr);

    void add(const OperationRecord& record) { records.push_back(record); }
    void add(const std::vector<OperationRecord>& list);

    // The jobs by name (see jobs:: for each).
    void addSendDriver(const juce::uint8* image, int length, const char* name, float shareStart,
                       float shareEnd);
    void addTestFlash(const char* mcuName, const char* flashName, const juce::uint8* image, int length);
    void addEraseFromFile(const juce::String& path, int page, juce::int64 fileOffset, juce::int64 flashOffset,
                          juce::int64 length, float shareStart, float shareEnd);
    void addEraseBuffer(float shareStart, float shareEnd);
    void addEraseForBuffer(juce::int64 flashOffset, juce::int64 length, float shareStart, float shareEnd);
    void addProgramFromFile(const juce::String& path, int page, juce::int64 fileOffset,
                            juce::int64 flashOffset, juce::int64 length, float shareStart, float shareEnd);
    void addProgramFromBuffer(const juce::uint8* data, juce::int64 flashOffset, juce::int64 length,
                              float shareStart, float shareEnd);
    void addReadToFile(const juce::String& path, int page, juce::int64 flashOffset, juce::int64 length,
                       float shareStart, float shareEnd);
    void addCompareFiles(const juce::String& writtenPath, juce::int64 fileOffset,
                         const juce::String& readBackPath);
    void addCompareWithBuffer(const juce::uint8* data, juce::int64 length, const juce::String& readBackPath);
    void addReadVersion(const juce::String& path);
    void addSaveIoStatus();
    void addLockFile(const juce::String& path, int mode);

    // Starts the next job; true when none was left (nothing started).
    bool runNext();
    // True once for the EvStepDone of the job started last (by the serial it
    // carries); false for any other, so a step-done that no running job posted
    // changes nothing.
    bool acceptStepDone(int serial);
    void clearQueue();
    bool nextIsDriverUpload() const;
    const OperationRecord& current() const { return currentRecord; }
    size_t size() const { return records.size(); }
    const std::vector<OperationRecord>& queued() const { return records; }
    // Test seam: called on the message thread just before job `index` starts.
    using JobObserver = std::function<void(size_t index, const OperationRecord& record)>;
    void setJobObserver(JobObserver observer) { jobObserver = std::move(observer); }

    Communication& link() { return comm; }

private:
    std::vector<OperationRecord> records;
    size_t nextIndex = 0;
    OperationRecord currentRecord;
    int currentSerial = 0; // the link's serial of the job started last; 0: none
    bool currentAccepted = true;
    JobObserver jobObserver;
    Communication comm;
};
