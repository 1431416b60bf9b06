#pragma once
#include "device/Communication.h"
#include "device/Jobs.h"
#include <functional>
#include <optional>
#include <vector>

// The device jobs of one sequence, run one at a time on a link it does not
// own: the owner calls runNext to start a sequence and again after each
// successful EvStepDone.
class OperationQueue final
{
public:
    explicit OperationQueue(Communication& link) : comm(link) {}

    void add(const OperationRecord& record) { records.push_back(record); }
    void add(const std::vector<OperationRecord>& list);

    // Starts the next job; true when none was left (nothing started).
    bool runNext();
    // True once for the EvStepDone of the job started last (by the serial it
    // carries); false for any other, so a step-done that no running job posted
    // changes nothing.
    bool acceptStepDone(int serial);
    void clearQueue();
    bool nextIsDriverUpload() const;
    // The job started last; null before the first and once the list ended.
    const OperationRecord* current() const { return currentRecord ? &*currentRecord : nullptr; }
    template <typename Kind> bool currentIs() const
    {
        return currentRecord && jobs::is<Kind>(*currentRecord);
    }
    // Whether a job of this list that erases or programs has started.
    bool flashWritten() const { return wroteFlash; }
    size_t size() const { return records.size(); }
    const std::vector<OperationRecord>& queued() const { return records; }
    // Test seam: called on the message thread just before job `index` starts.
    using JobObserver = std::function<void(size_t index, const OperationRecord& record)>;
    void setJobObserver(JobObserver observer) { jobObserver = std::move(observer); }

private:
    std::vector<OperationRecord> records;
    size_t nextIndex = 0;
    std::optional<OperationRecord> currentRecord;
    int currentSerial = 0; // the link's serial of the job started last; 0: none
    bool currentAccepted = true;
    bool wroteFlash = false;
    JobObserver jobObserver;
    Communication& comm;
};
