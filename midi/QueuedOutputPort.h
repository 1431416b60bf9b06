#pragma once
#include "midi/MidiPorts.h"
#include <condition_variable>
#include <mutex>
#include <thread>

namespace midi
{
// Sends through another output on a thread of its own. sendMessageNow copies
// the message into a bounded queue and returns at once, so that the sender
// (the MIDI input thread with the link's lock held, or the message thread)
// never waits while a device drains a long message at the cable's pace; the
// messages leave in the order they were given. A message that does not fit
// the queue is dropped and the send says so (its reply never comes, which
// the link sees as a time-out). Once the device has failed, every send fails.
class QueuedOutputPort final : public OutputPort
{
public:
    static constexpr int kDefaultCapacity = 64 * 1024;

    explicit QueuedOutputPort(std::unique_ptr<OutputPort> device, int capacityBytes = kDefaultCapacity);
    // Cancels the device's send in progress, drops what was not sent, and
    // waits for the thread.
    ~QueuedOutputPort() override;

    juce::String getName() const override { return name; }
    juce::String notice() const override { return deviceNotice; }
    bool sendMessageNow(const juce::uint8* data, int size) override;
    void cancelSends() override;

    // False as soon as the device has failed (what was queued is dropped).
    bool waitUntilSent(int timeoutMs) override;
    bool deviceFailed() const;

private:
    void run();

    std::unique_ptr<OutputPort> device;
    const juce::String name, deviceNotice;
    // Length-prefixed messages; the ring and the thread's copy are allocated
    // once, so a send allocates nothing.
    juce::HeapBlock<juce::uint8> ring, outgoing;
    juce::AbstractFifo fifo;
    mutable std::mutex lock;
    std::condition_variable wake, idle;
    bool stopping = false, sending = false, failed = false;
    std::thread worker;
};
} // namespace midi
