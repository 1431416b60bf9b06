#include "core/LogWriter.h"
#include "platform/TextConversion.h"

LogWriter::LogWriter() : worker([this] { run(); }) {}

LogWriter::~LogWriter()
{
    flush(1000);
    {
        const std::lock_guard<std::mutex> g(lock);
        stopping = true;
    }
    wake.notify_all();
    worker.join();
}

void LogWriter::text(const juce::String& t)
{
    push({t, false});
}

void LogWriter::line(const juce::String& l)
{
    push({l, true});
}

void LogWriter::push(Item item)
{
    {
        const std::lock_guard<std::mutex> g(lock);
        const auto bytes = item.text.getNumBytesAsUTF8();
        if (queuedBytes + bytes > kMaxQueuedBytes)
        {
            ++dropped;
            return;
        }
        queuedBytes += bytes;
        queue.push_back(std::move(item));
    }
    wake.notify_one();
}

bool LogWriter::flush(int timeoutMs)
{
    std::unique_lock<std::mutex> g(lock);
    return written.wait_for(g, std::chrono::milliseconds(timeoutMs),
                            [this] { return queue.empty() && !writing; });
}

void LogWriter::run()
{
    std::unique_lock<std::mutex> g(lock);
    for (;;)
    {
        wake.wait(g, [this] { return stopping || !queue.empty(); });
        if (queue.empty())
            return; // stopping, and everything is written
        auto item = std::move(queue.front());
        queue.pop_front();
        queuedBytes -= item.text.getNumBytesAsUTF8();
        const int lost = queue.empty() ? std::exchange(dropped, 0) : 0;
        writing = true;
        g.unlock();
        if (item.ownLine)
            platform::writeStdoutLine(item.text);
        else
            platform::writeStdout(item.text);
        if (lost > 0)
            platform::writeStdoutLine("(" + juce::String(lost) +
                                      " log texts were dropped: the output was blocked)");
        g.lock();
        writing = false;
        written.notify_all();
    }
}
