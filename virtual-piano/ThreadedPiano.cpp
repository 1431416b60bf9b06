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
                      {
                          const std::lock_guard<std::mutex> dg(deliveryLock);
                          if (delivery)
                              delivery(data, size);
                      }
                      outsideMs += nowMs() - left;
                  });
    ownMs += nowMs() - began - outsideMs;
}

void ThreadedPiano::run()
{
    for (;;)
    {
        std::pair<std::vector<juce::uint8>, double> item;
        {
            std::unique_lock<std::mutex> lock(queueLock);
            wake.wait(lock, [this] { return stopping || !queue.empty(); });
            if (stopping)
                return;
            item = std::move(queue.front());
            queue.pop_front();
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
