#pragma once
#include "core/LogWriter.h"
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// A record of every SysEx message exchanged with the instrument, both ways,
// for support: one line per message with the milliseconds since the trace
// began, the direction, the length and the bytes (a long message shortened
// to its first and last bytes). A thread that records (the MIDI input thread
// among them) only copies a small fixed record into a ring under a short
// lock; a thread of its own formats the lines, and the log writer puts them
// in the file (kept to about kMaxFileBytes, the one before as NAME.1).
class SysexTrace
{
public:
    static constexpr int kRingSize = 4096;
    static constexpr int kHeadBytes = 24, kTailBytes = 8;
    static constexpr juce::int64 kMaxFileBytes = 8 << 20;

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
    static juce::String describe(const Record& record);
    static juce::String notTraced(int messages);

    const juce::File file;
    const double started;
    LogWriter writer;

    std::mutex lock;
    std::condition_variable wake, drained;
    Record ring[kRingSize];
    int first = 0, count = 0, dropped = 0;
    bool stopping = false, formatting = false;
    std::thread worker;
};
