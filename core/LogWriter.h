#pragma once
#include <condition_variable>
#include <deque>
#include <juce_core/juce_core.h>
#include <mutex>
#include <thread>

// Writes the log's copy on standard output from a thread of its own, so that
// no thread that logs (the MIDI input thread among them) waits for a paused
// terminal or a full pipe. Bounded: beyond kMaxQueuedBytes, text is dropped
// and counted, and the count is written once there is room again.
class LogWriter
{
public:
    static constexpr size_t kMaxQueuedBytes = 1 << 20;

    LogWriter();
    ~LogWriter(); // writes what is queued (for at most a second), then stops

    void text(const juce::String& text); // as it comes
    void line(const juce::String& line); // on a line of its own
    // Waits until everything queued so far is written; false after `timeoutMs`.
    bool flush(int timeoutMs = 2000);

private:
    struct Item
    {
        juce::String text;
        bool ownLine;
    };
    void push(Item item);
    void run();

    std::mutex lock;
    std::condition_variable wake, written;
    std::deque<Item> queue;
    size_t queuedBytes = 0;
    int dropped = 0;
    bool stopping = false, writing = false;
    std::thread worker;
};
