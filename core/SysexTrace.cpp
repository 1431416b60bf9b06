#include "core/SysexTrace.h"
#include <cstring>
#include <utility>

namespace
{
// Traces behind in this process, and where simulated instruments wait for
// them to catch up.
std::atomic<int> tracesBehind{0};
std::mutex paceLock;
std::condition_variable paceResumed;

void tellPacedInstruments()
{
    {
        const std::lock_guard<std::mutex> g(paceLock); // no waiter between its check and its wait
    }
    paceResumed.notify_all();
}

// The worker takes this many records out of the ring at a time.
constexpr int kBatchRecords = 256;
// The worker hands the log writer at most this much text before it waits for
// the writer to have written it: the writer's queue (LogWriter::kMaxQueuedBytes)
// never overflows, so the writer never drops a line of the trace.
constexpr size_t kWriterBatchBytes = LogWriter::kMaxQueuedBytes / 4;
constexpr int kWriterWaitMs = 30000;
} // namespace

SysexTrace::SysexTrace(const juce::File& traceFile, juce::int64 maxFileBytes)
    : file(traceFile), started(juce::Time::getMillisecondCounterHiRes()),
      writer(false, traceFile, maxFileBytes), ring((size_t)kRingSize), worker([this] { run(); })
{
    writer.line("SysEx trace: ms since start, direction, bytes, message (long ones shortened)");
}

SysexTrace::~SysexTrace()
{
    flush(1000);
    bool wasBehind;
    {
        const std::lock_guard<std::mutex> g(lock);
        stopping = true;
        wasBehind = std::exchange(behind, false);
        if (wasBehind)
            --tracesBehind;
    }
    if (wasBehind)
        tellPacedInstruments();
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
        auto& r = ring[(size_t)((first + count) % kRingSize)];
        r.ms = juce::Time::getMillisecondCounterHiRes() - started;
        r.direction = direction;
        r.size = size;
        r.droppedBefore = std::exchange(dropped, 0);
        std::memcpy(r.head, data, (size_t)juce::jmin(size, kHeadBytes));
        const int tail = juce::jmin(kTailBytes, juce::jmax(0, size - kHeadBytes));
        std::memcpy(r.tail, data + size - tail, (size_t)tail);
        ++count;
        if (count >= kBehindRecords && !behind && !stopping)
        {
            behind = true;
            ++tracesBehind;
        }
    }
    wake.notify_one();
}

void SysexTrace::paceSimulatedInstrument()
{
    if (tracesBehind.load() == 0)
        return;
    std::unique_lock<std::mutex> g(paceLock);
    paceResumed.wait_for(g, std::chrono::milliseconds(kMaxPaceWaitMs),
                         [] { return tracesBehind.load() == 0; });
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

// On the worker's thread.
void SysexTrace::write(const juce::String& line)
{
    const auto bytes = line.getNumBytesAsUTF8();
    if (bytesSinceWriterFlush + bytes > kWriterBatchBytes)
    {
        writer.flush(kWriterWaitMs);
        bytesSinceWriterFlush = 0;
    }
    bytesSinceWriterFlush += bytes;
    writer.line(line);
}

void SysexTrace::run()
{
    std::vector<Record> batch;
    batch.reserve((size_t)kBatchRecords);
    std::unique_lock<std::mutex> g(lock);
    for (;;)
    {
        wake.wait(g, [this] { return stopping || count > 0; });
        if (count == 0)
        {
            if (dropped > 0)
                write(notTraced(std::exchange(dropped, 0)));
            return;
        }
        batch.clear();
        while (count > 0 && (int)batch.size() < kBatchRecords)
        {
            batch.push_back(ring[(size_t)first]);
            first = (first + 1) % kRingSize;
            --count;
        }
        const bool caughtUp = behind && count <= kCaughtUpRecords;
        if (caughtUp)
        {
            behind = false;
            --tracesBehind;
        }
        formatting = true;
        g.unlock();
        if (caughtUp)
            tellPacedInstruments();
        for (const auto& r : batch)
        {
            if (r.droppedBefore > 0)
                write(notTraced(r.droppedBefore));
            write(describe(r));
        }
        g.lock();
        formatting = false;
        drained.notify_all();
    }
}
