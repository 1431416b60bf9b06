#pragma once
#include <condition_variable>
#include <deque>
#include <juce_core/juce_core.h>
#include <memory>
#include <mutex>
#include <thread>

namespace platform
{
class WorkingFileOutput;
}

// Writes the log's copies, on standard output and in a log file, from a
// thread of its own, so that no thread that logs (the MIDI input thread among
// them) waits for a paused terminal, a full pipe or a slow disk. Bounded:
// beyond kMaxQueuedBytes, text is dropped and counted, and the count is
// written once there is room again.
//
// In the file every line starts with the time it was logged; the file is kept
// to about kMaxFileBytes, the one before it as NAME.1.
class LogWriter final
{
public:
    static constexpr size_t kMaxQueuedBytes = 1 << 20;
    static constexpr juce::int64 kMaxFileBytes = 1 << 20;

    // Where the copies go; decided before the first text.
    LogWriter(bool toStandardOutput, const juce::File& logFile, juce::int64 maxFileBytes = kMaxFileBytes);
    ~LogWriter(); // writes what is queued (for at most a second), then stops

    void text(const juce::String& text); // as it comes
    void line(const juce::String& line); // on a line of its own
    // Waits until everything queued so far is written; false after `timeoutMs`.
    bool flush(int timeoutMs = 2000);
    // Why the file could not be opened at the start (empty: it was, or none was asked for).
    const juce::String& fileProblem() const { return openProblem; }

private:
    struct Item
    {
        juce::String text;
        bool ownLine;
        juce::int64 time; // milliseconds since 1970
    };
    void push(Item item);
    void run();
    void writeToFile(const Item& item);
    void startFileLine(juce::int64 time);
    bool openFile();
    juce::String openAtStart();

    const bool toStdout;
    const juce::File file;
    const juce::int64 maxFileBytes;
    std::unique_ptr<platform::WorkingFileOutput> out; // worker thread only
    bool fileFailed = false, fileLineOpen = false;    // worker thread only
    const juce::String openProblem;                   // set before the worker starts

    std::mutex lock;
    std::condition_variable wake, written;
    std::deque<Item> queue;
    size_t queuedBytes = 0;
    int dropped = 0;
    bool stopping = false, writing = false;
    std::thread worker;
};
