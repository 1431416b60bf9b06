#pragma once
#include "core/LogWriter.h"
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// A record of every SysEx message exchanged with the instrument, both ways,
// for support: one line per message with the milliseconds since the trace
// began, the direction, the length and the bytes (a long message shortened
// to its first and last bytes). A thread that records (the MIDI input thread
// among them) never waits: it only copies a small fixed record into a ring of
// preallocated slots under a short lock; a thread of its own formats the
// lines, and the log writer puts them in the file (kept to about
// kMaxFileBytes, the one before as NAME.1), never given more than it holds.
//
// A real instrument sends at the pace of its cable, and the ring holds
// seconds of that. The in-process simulated instrument replies at the speed
// of the processor instead: before each reply it calls
// paceSimulatedInstrument(), which holds it back while a trace is behind, so
// its messages are all traced too. Messages that still find the ring full (a
// writer stalled for long) are counted, and the count is written in the file
// where they would have been.
class SysexTrace final
{
public:
    static constexpr int kRingSize = 16384;
    // A trace is behind with this many records waiting, and no longer once
    // it is down to kCaughtUpRecords.
    static constexpr int kBehindRecords = kRingSize / 4, kCaughtUpRecords = kRingSize / 8;
    static constexpr int kHeadBytes = 24, kTailBytes = 8;
    static constexpr juce::int64 kMaxFileBytes = 8 << 20;
    // The most a simulated instrument waits for a trace to catch up (a writer
    // stalled longer lets it go on, and the trace counts what it loses).
    static constexpr int kMaxPaceWaitMs = 5000;

    enum class Direction
    {
        toInstrument,
        fromInstrument
    };

    explicit SysexTrace(const juce::File& file, juce::int64 maxFileBytes = kMaxFileBytes);
    ~SysexTrace();

    void record(Direction direction, const juce::uint8* data, int size);
    // Waits until everything recorded so far is in the file.
    bool flush(int timeoutMs = 2000);
    const juce::File& getFile() const { return file; }
    // Why the file cannot be written (empty: it can).
    const juce::String& fileProblem() const { return writer.fileProblem(); }

    // For the in-process simulated instrument only, on its own thread before
    // it delivers a message (never on a thread that receives a real
    // instrument's messages): returns at once unless a trace of this process
    // is behind, else when none is (at most kMaxPaceWaitMs).
    static void paceSimulatedInstrument();

private:
    struct Record
    {
        double ms = 0;
        Direction direction = Direction::toInstrument;
        int size = 0;
        int droppedBefore = 0; // messages lost to a full ring just before this one
        juce::uint8 head[kHeadBytes] = {};
        juce::uint8 tail[kTailBytes] = {};
    };
    void run();
    void write(const juce::String& line);
    static juce::String describe(const Record& record);
    static juce::String notTraced(int messages);

    const juce::File file;
    const double started;
    LogWriter writer;
    size_t bytesSinceWriterFlush = 0; // the worker's own

    std::mutex lock;
    std::condition_variable wake, drained;
    std::vector<Record> ring;
    int first = 0, count = 0, dropped = 0;
    bool stopping = false, formatting = false;
    bool behind = false; // counted in the process's traces that hold simulated instruments back
    std::thread worker;
};
