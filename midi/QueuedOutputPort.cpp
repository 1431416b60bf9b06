#include "midi/QueuedOutputPort.h"

namespace midi
{
namespace
{
constexpr int kLengthBytes = 4;
} // namespace

QueuedOutputPort::QueuedOutputPort(std::unique_ptr<OutputPort> d, int capacityBytes)
    : device(std::move(d)), name(device->getName()), deviceNotice(device->notice()),
      ring((size_t)capacityBytes), outgoing((size_t)capacityBytes), fifo(capacityBytes)
{
    worker = std::thread([this] { run(); });
}

QueuedOutputPort::~QueuedOutputPort()
{
    {
        const std::lock_guard<std::mutex> g(lock);
        stopping = true;
    }
    device->cancelSends();
    wake.notify_all();
    worker.join();
}

bool QueuedOutputPort::sendMessageNow(const juce::uint8* data, int size)
{
    if (data == nullptr || size <= 0 || size > fifo.getTotalSize() - kLengthBytes)
        return false;
    {
        const std::lock_guard<std::mutex> g(lock);
        if (failed || stopping || fifo.getFreeSpace() < size + kLengthBytes)
            return false;
        const juce::uint8 length[kLengthBytes] = {(juce::uint8)(size >> 24), (juce::uint8)(size >> 16),
                                                  (juce::uint8)(size >> 8), (juce::uint8)size};
        auto put = [this](const juce::uint8* from, int count)
        {
            const auto w = fifo.write(count);
            std::copy(from, from + w.blockSize1, ring.get() + w.startIndex1);
            std::copy(from + w.blockSize1, from + count, ring.get() + w.startIndex2);
        };
        put(length, kLengthBytes);
        put(data, size);
    }
    wake.notify_one();
    return true;
}

void QueuedOutputPort::cancelSends()
{
    {
        const std::lock_guard<std::mutex> g(lock);
        failed = true;
        fifo.reset();
    }
    device->cancelSends();
    idle.notify_all();
}

bool QueuedOutputPort::waitUntilSent(int timeoutMs)
{
    std::unique_lock<std::mutex> l(lock);
    idle.wait_for(l, std::chrono::milliseconds(timeoutMs),
                  [this] { return failed || (fifo.getNumReady() == 0 && !sending); });
    return !failed && fifo.getNumReady() == 0 && !sending;
}

bool QueuedOutputPort::deviceFailed() const
{
    const std::lock_guard<std::mutex> g(lock);
    return failed;
}

void QueuedOutputPort::run()
{
    for (;;)
    {
        int size = 0;
        {
            std::unique_lock<std::mutex> l(lock);
            sending = false;
            idle.notify_all();
            wake.wait(l, [this] { return stopping || fifo.getNumReady() > 0; });
            if (stopping)
                return;
            auto take = [this](juce::uint8* to, int count)
            {
                const auto r = fifo.read(count);
                std::copy(ring.get() + r.startIndex1, ring.get() + r.startIndex1 + r.blockSize1, to);
                std::copy(ring.get() + r.startIndex2, ring.get() + r.startIndex2 + r.blockSize2,
                          to + r.blockSize1);
            };
            juce::uint8 length[kLengthBytes];
            take(length, kLengthBytes);
            size = (int)((juce::uint32)length[0] << 24 | (juce::uint32)length[1] << 16 |
                         (juce::uint32)length[2] << 8 | length[3]);
            take(outgoing.get(), size);
            sending = true;
        }
        // Outside the lock: this may take as long as the device needs.
        if (!device->sendMessageNow(outgoing.get(), size))
        {
            const std::lock_guard<std::mutex> g(lock);
            failed = true;
            fifo.reset();
            idle.notify_all();
        }
    }
}
} // namespace midi
