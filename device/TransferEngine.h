#pragma once
#include "core/CustomMessage.h"
#include "core/Vocabulary.h"
#include "device/SysexCodec.h"
#include <variant>
#include <vector>

// The exchanges of a device job with the instrument, without I/O of its own:
// replies and ticks come in; frames, events, log text and read data go out
// through its Host. Each job expects one reply per request, and anything else
// that arrives is counted and ignored. The owner serialises every call.
//
// Threads: the engine runs on whichever thread its owner calls it from, and
// calls its Host back on that thread before returning. Communication calls it
// only with the link's mutex held: from the message thread (an operation's
// start, the timer's ticks) and from the MIDI input thread (replies, and the
// end of a read once its file is synced). Every Host callback therefore runs
// with that mutex held and must not take it again, nor wait for anything that
// may wait for it (stopping an input port does).
class TransferEngine final
{
public:
    struct Host
    {
        virtual ~Host() = default;
        virtual void sendFrame(const juce::uint8* frame, int size) = 0;
        // A job's end (EvStepDone). Posting allocates the message and nothing else.
        virtual void postEvent(Event event) = 0;
        virtual void postProgress(ProgressKind kind, int value, int total) = 0;
        virtual void logText(const char* text) = 0;
        // A bold, coloured passage, then bold off and black.
        virtual void logHighlighted(juce::uint32 argb, const char* text) = 0;
        virtual void setTickPeriod(int periodMs) = 0; // 0 stops the ticks
        virtual juce::uint32 now() = 0;               // milliseconds
        // A block of read data, in order; false when it could not be kept.
        virtual bool storeReadData(const juce::uint8* data, int size) = 0;
        // Every block of the read is stored. The owner makes the data durable
        // after it has released its mutex, then takes it again and calls
        // finishRead.
        virtual void readDataComplete() = 0;
        // A quiet wait ended (on a tick); the owner calls finishQuietWait.
        virtual void quietWaitEnded() = 0;
        // A read ended without its data complete: the owner drops its file.
        virtual void readAbandoned() = 0;
    };

    struct Periods
    {
        int transferMs = 500, readMs = 80;
        // Tick of the quiet windows around a careful flash test and after a
        // read: a window ends after two ticks without a reply.
        int settleMs = 40;
    };

    TransferEngine(Host& host, Periods periods) : host(host), periods(periods) {}

    // ---- jobs: each operation opens one and ends it once ----
    void beginJob();
    int jobSerial() const { return serial; }
    bool jobIsOpen() const { return open; }
    // Ends the job: EvStepDone with the job's serial (and the failure's
    // reason), once.
    void succeed() { endJob(false, StepFailure::none); }
    void fail(StepFailure reason) { endJob(true, reason); }
    // Ends a job whose result is posted otherwise (no EvStepDone).
    void endJobSilently();
    // Ends the job with a failure and a log line; no more ticks.
    void abort(const char* logLine, StepFailure reason);

    // ---- transfers, started with the owner's checks done ----
    void startUpload(const juce::uint8* image, juce::int64 length);
    void startProgram(const juce::uint8* data, juce::int64 byteAddress, juce::int64 length);
    // A careful test (flash identification) waits for a quiet link before
    // each request, asks twice, and waits for a quiet link after each
    // verdict: any reply besides the two verdicts makes the result unclear
    // (StepFailure::unclearReplies), never a pass or a fail.
    void startTestFlash(int parameter, bool careful = false);
    void startErase(std::vector<juce::uint32> sectorWords);
    void startRead(juce::int64 byteAddress, juce::int64 length, bool checksummed);
    // The read's data durable (or not): completes the read job.
    void finishRead(bool durable);
    // Waits until no data packet has arrived for two settle ticks (statuses
    // cannot shift read data, so they are only counted), or gives up after
    // kMaxSettleTicks; then the host hears quietWaitEnded.
    void startQuietWait();
    void finishQuietWait();
    // Data packets ignored since the last read ended well (a read shifted by
    // a repeated packet shows as data arriving after its end).
    int packetsSinceRead() const { return packetsAfterRead; }
    // Statuses ignored since then (counted for the log; they change no data).
    int statusesSinceRead() const { return statusesAfterRead; }

    // ---- input ----
    void onStatus(int status);
    void onPacket(const juce::uint8* data, int length);
    void onTick();
    // A reply that answers no request (also the link's own finds, such as an
    // identify reply outside a scan).
    void ignoreUnexpected();

    // The job's state, numbered as the link reports it: -1 idle, 0 driver
    // upload, 1 flash test, 2 erasing, 3 programming, 5 reading.
    int stateNumber() const;
    int unexpectedReplies() const { return unexpectedTotal; }
    juce::uint32 sequenceStartTime() const { return sequenceStart; }

    static constexpr int kSilentTicksForTimeout = 9;
    static constexpr int kMaxReadRetries = 10;
    static constexpr int kMaxBrokenBlocks = 15; // 16 attempts in all
    static constexpr int kMaxSettleTicks = 25;  // a link that never falls quiet

private:
    struct Idle
    {
    };
    struct Sending
    {
        const juce::uint8* source = nullptr;
        juce::int64 total = 0, done = 0;
        bool program = false; // false: a driver upload
        juce::uint32 phaseStart = 0;
    };
    struct Testing
    {
        enum class Phase
        {
            settling, // before a request: waiting for a quiet link
            waiting,  // the request is out
            checking  // a verdict came: nothing else may arrive
        };
        int parameter = 0;
        bool careful = false;
        Phase phase = Phase::waiting;
        int quietTicks = 0, settleTicks = 0, passes = 0;
        int unexpectedAtRequest = 0;
        bool failed = false;
    };
    struct Erasing
    {
        std::vector<juce::uint32> words;
        size_t next = 0;
        juce::uint32 phaseStart = 0;
    };
    struct Reading
    {
        enum class Phase
        {
            waiting,  // the packets of the requested block
            draining, // a broken block's packets still coming: wait for a quiet tick
            storing   // all stored; the owner makes it durable
        };
        juce::int64 base = 0, total = 0, done = 0;
        bool checksummed = true;
        Phase phase = Phase::waiting;
        int retries = 0, brokenBlocks = 0, quietTicks = 0, filled = 0;
    };
    struct QuietWait
    {
        int quietTicks = 0, ticks = 0;
    };

    void endJob(bool failed, StepFailure reason);
    void loadBlock(Sending& s);
    void sendBlock();
    void sendNextErase(Erasing& e);
    void requestBlock(Reading& r);
    void onSendingStatus(Sending& s, int status);
    void onErasingStatus(Erasing& e, int status);
    void onTestStatus(Testing& t, int status);
    void sendTestRequest(Testing& t);
    void onTestTick(Testing& t);
    void endTest(Testing& t);
    void onBlockComplete(Reading& r);
    void retryBrokenBlock(Reading& r);
    void drainThenRequest(Reading& r);
    void timeOut();
    void flashTimedOut();
    void flushUnexpectedCount();
    void log(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    void logElapsed(const char* label, juce::uint32 since);

    Host& host;
    const Periods periods;
    std::variant<Idle, Sending, Testing, Erasing, Reading, QuietWait> state;
    int serial = 0;
    bool open = false;
    int silenceTicks = 0;
    int unexpectedInJob = 0, unexpectedTotal = 0, packetsAfterRead = 0, statusesAfterRead = 0;
    juce::uint32 sequenceStart = 0;
    juce::uint8 block[sysex::kChecksummedBlockSize] = {};
    juce::uint8 frame[sysex::kFrameBufferSize] = {};
};
