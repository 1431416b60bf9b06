#include "virtual-piano/ThreadedPiano.h"
#include <chrono>

namespace vp
{
double nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

namespace
{
void sleepUntilMs(double deadline)
{
    // Coarse sleep, then a short spin for sub-millisecond accuracy.
    for (;;)
    {
        const double left = deadline - nowMs();
        if (left <= 0)
            return;
        if (left > 2.0)
            std::this_thread::sleep_for(std::chrono::microseconds((long long)((left - 1.0) * 1000)));
        else
            std::this_thread::yield();
    }
}
} // namespace

ThreadedPiano::ThreadedPiano(PianoConfig config, bool manual) : piano(std::move(config)), manualMode(manual)
{
    strayEveryMs = piano.config().strayStatusEveryMs;
    if (!manualMode)
        worker = std::thread([this] { run(); });
}

ThreadedPiano::~ThreadedPiano()
{
    {
        const std::lock_guard<std::mutex> g(queueLock);
        stopping = true;
    }
    wake.notify_all();
    if (worker.joinable())
        worker.join();
}

void ThreadedPiano::setDelivery(Delivery d)
{
    const std::lock_guard<std::mutex> g(deliveryLock);
    delivery = std::move(d);
}

void ThreadedPiano::post(const juce::uint8* data, int size)
{
    {
        const std::lock_guard<std::mutex> g(queueLock);
        queue.emplace_back(std::vector<juce::uint8>(data, data + size),
                           piano.config().timing ? nowMs() : 0.0);
    }
    wake.notify_one();
}

void ThreadedPiano::setStrayStatusEvery(int ms)
{
    {
        const std::lock_guard<std::mutex> g(queueLock);
        strayEveryMs = ms;
    }
    wake.notify_all();
}

void ThreadedPiano::deliver(const juce::uint8* data, int size)
{
    const std::lock_guard<std::mutex> dg(deliveryLock);
    if (delivery)
        delivery(data, size);
}

void ThreadedPiano::sendStrayStatus()
{
    const std::lock_guard<std::mutex> g(pianoLock);
    piano.sendStrayStatus([this](const juce::uint8* data, int size, double) { deliver(data, size); });
}

void ThreadedPiano::powerCycle()
{
    {
        const std::lock_guard<std::mutex> g(queueLock);
        queue.clear();
    }
    const std::lock_guard<std::mutex> g(pianoLock);
    piano.powerOn();
}

void ThreadedPiano::recordExchanges(bool on)
{
    const std::lock_guard<std::mutex> g(pianoLock);
    recording = on;
}

std::vector<Exchange> ThreadedPiano::takeExchanges()
{
    const std::lock_guard<std::mutex> g(pianoLock);
    return std::move(exchanges);
}

double ThreadedPiano::instrumentMs()
{
    const std::lock_guard<std::mutex> g(pianoLock);
    return ownMs;
}

void ThreadedPiano::process(std::vector<juce::uint8>& message)
{
    const auto& cfg = piano.config();
    const std::lock_guard<std::mutex> g(pianoLock);
    if (recording)
        exchanges.push_back({(int)message.size(), {}});
    const double began = nowMs();
    double outsideMs = 0; // delivering and modelled waiting
    piano.receive(message.data(), (int)message.size(),
                  [&](const juce::uint8* data, int size, double busyMs)
                  {
                      const double left = nowMs();
                      if (recording)
                          exchanges.back().replies.push_back({size, busyMs});
                      if (cfg.timing)
                      {
                          // Serial link each way plus one frame of latency; the instrument's
                          // own work sits between the request's arrival and its reply.
                          const double start = juce::jmax(pianoFree, inLinkFree + cfg.latencyMs) + busyMs;
                          pianoFree = start;
                          const double leave = juce::jmax(start, outLinkFree);
                          outLinkFree = leave + size / cfg.linkBytesPerMs;
                          sleepUntilMs(outLinkFree + cfg.latencyMs);
                      }
                      deliver(data, size);
                      outsideMs += nowMs() - left;
                  });
    ownMs += nowMs() - began - outsideMs;
}

void ThreadedPiano::run()
{
    double nextStray = -1; // when the next unsolicited status is due
    for (;;)
    {
        std::pair<std::vector<juce::uint8>, double> item;
        bool strayDue = false;
        {
            std::unique_lock<std::mutex> lock(queueLock);
            auto ready = [this] { return stopping || !queue.empty(); };
            const int every = strayEveryMs.load();
            if (every > 0)
            {
                if (nextStray < 0)
                    nextStray = nowMs() + every;
                const auto wait =
                    std::chrono::microseconds((long long)juce::jmax(0.0, (nextStray - nowMs()) * 1000));
                wake.wait_for(lock, wait, ready);
                strayDue = nowMs() >= nextStray;
            }
            else
            {
                nextStray = -1;
                wake.wait(lock, [&] { return ready() || strayEveryMs.load() > 0; });
            }
            if (stopping)
                return;
            if (!strayDue && queue.empty())
                continue;
            if (!strayDue)
            {
                item = std::move(queue.front());
                queue.pop_front();
            }
        }
        if (strayDue)
        {
            nextStray = nowMs() + juce::jmax(1, strayEveryMs.load());
            sendStrayStatus();
            continue;
        }
        if (piano.config().timing)
        {
            const auto& cfg = piano.config();
            inLinkFree = juce::jmax(inLinkFree, item.second) + item.first.size() / cfg.linkBytesPerMs;
        }
        process(item.first);
    }
}

int ThreadedPiano::pump(int limit)
{
    int count = 0;
    while (count < limit)
    {
        std::vector<juce::uint8> message;
        {
            const std::lock_guard<std::mutex> g(queueLock);
            if (queue.empty())
                return count;
            message = std::move(queue.front().first);
            queue.pop_front();
        }
        process(message);
        ++count;
    }
    return count;
}
} // namespace vp
