#include "core/SysexTrace.h"
#include <cstring>
#include <utility>

SysexTrace::SysexTrace(const juce::File& traceFile, juce::int64 maxFileBytes)
    : file(traceFile), started(juce::Time::getMillisecondCounterHiRes()),
      writer(false, traceFile, maxFileBytes), worker([this] { run(); })
{
    writer.line("SysEx trace: ms since start, direction, bytes, message (long ones shortened)");
}

SysexTrace::~SysexTrace()
{
    flush(1000);
    {
        const std::lock_guard<std::mutex> g(lock);
        stopping = true;
    }
    wake.notify_all();
    worker.join();
}

void SysexTrace::record(Direction direction, const juce::uint8* data, int size)
{
    if (data == nullptr || size <= 0)
        return;
    {
        const std::lock_guard<std::mutex> g(lock);
        if (count == kRingSize)
        {
            ++dropped;
            return;
        }
        auto& r = ring[(first + count) % kRingSize];
        r.ms = juce::Time::getMillisecondCounterHiRes() - started;
        r.direction = direction;
        r.size = size;
        r.droppedBefore = std::exchange(dropped, 0);
        std::memcpy(r.head, data, (size_t)juce::jmin(size, kHeadBytes));
        const int tail = juce::jmin(kTailBytes, juce::jmax(0, size - kHeadBytes));
        std::memcpy(r.tail, data + size - tail, (size_t)tail);
        ++count;
    }
    wake.notify_one();
}

// "ms direction length bytes": the first bytes, " ...", the last ones.
juce::String SysexTrace::describe(const Record& r)
{
    const int head = juce::jmin(r.size, kHeadBytes);
    const int tail = juce::jmin(kTailBytes, juce::jmax(0, r.size - kHeadBytes));
    juce::String line = juce::String(r.ms, 3).paddedLeft(' ', 12) + " ";
    line << (r.direction == Direction::toInstrument ? "out " : "in  ")
         << juce::String(r.size).paddedLeft(' ', 5) << " "
         << juce::String::toHexString(r.head, head, 1).toUpperCase();
    if (r.size > head + tail)
        line << " ...";
    if (tail > 0)
        line << " " << juce::String::toHexString(r.tail, tail, 1).toUpperCase();
    return line;
}

juce::String SysexTrace::notTraced(int messages)
{
    return "(" + juce::String(messages) + " messages not traced: too many at once)";
}

bool SysexTrace::flush(int timeoutMs)
{
    {
        std::unique_lock<std::mutex> g(lock);
        if (!drained.wait_for(g, std::chrono::milliseconds(timeoutMs),
                              [this] { return count == 0 && !formatting; }))
            return false;
    }
    return writer.flush(timeoutMs);
}

void SysexTrace::run()
{
    std::unique_lock<std::mutex> g(lock);
    for (;;)
    {
        wake.wait(g, [this] { return stopping || count > 0; });
        if (count == 0)
        {
            if (dropped > 0)
                writer.line(notTraced(std::exchange(dropped, 0)));
            return;
        }
        const Record r = ring[first];
        first = (first + 1) % kRingSize;
        --count;
        formatting = true;
        g.unlock();
        if (r.droppedBefore > 0)
            writer.line(notTraced(r.droppedBefore));
        writer.line(describe(r));
        g.lock();
        formatting = false;
        drained.notify_all();
    }
}
