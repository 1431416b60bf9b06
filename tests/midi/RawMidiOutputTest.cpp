#include "midi/RawMidiOutput.h"
#include "midi/QueuedOutputPort.h"
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

namespace
{
// Holds a close until the test opens it, and tells when it went through.
struct Gate
{
    void open()
    {
        const std::lock_guard<std::mutex> g(lock);
        isOpen = true;
        changed.notify_all();
    }
    void pass(const std::function<void()>& then)
    {
        std::unique_lock<std::mutex> l(lock);
        changed.wait(l, [this] { return isOpen; });
        then();
        passed = true;
        changed.notify_all();
    }
    bool waitPassed()
    {
        std::unique_lock<std::mutex> l(lock);
        return changed.wait_for(l, std::chrono::seconds(10), [this] { return passed; });
    }
    std::mutex lock;
    std::condition_variable changed;
    bool isOpen = false, passed = false;
};

// A card's raw MIDI output as the kernel keeps it: a buffer of `bufferSize`
// bytes that the cable drains by `drainPerWait` bytes each time the writer
// waits for room. Records what reaches the cable and which calls were made.
struct FakeCard
{
    int openError = 0;
    int bufferSize = 4096;
    int drainPerWait = 48 * 50; // a full-speed USB piano: about 48 bytes per ms
    int writeError = 0;         // from the next write on (-ENODEV: unplugged)
    int held = 0;               // bytes in the buffer, not yet on the cable
    std::vector<juce::uint8> inBuffer, cable;
    std::vector<std::string> calls;
    int waits = 0, sleeps = 0;
    Gate* closeGate = nullptr; // a close waits for it, as the kernel's for a device that is gone

    void drain(int count)
    {
        const int n = std::min(count, held);
        cable.insert(cable.end(), inBuffer.begin(), inBuffer.begin() + n);
        inBuffer.erase(inBuffer.begin(), inBuffer.begin() + n);
        held -= n;
    }
};
FakeCard* card = nullptr;
int fakeHandle = 1;

const midi::RawMidiCalls fakeCalls{
    [](midi::RawMidiCalls::Handle* handle, const char* device) -> int
    {
        card->calls.push_back(std::string("open ") + device);
        if (card->openError < 0)
            return card->openError;
        *handle = &fakeHandle;
        return 0;
    },
    [](midi::RawMidiCalls::Handle, const juce::uint8* data, size_t size) -> long
    {
        if (card->writeError < 0)
            return card->writeError;
        const int n = std::min((int)size, card->bufferSize - card->held);
        if (n == 0)
            return -EAGAIN;
        card->inBuffer.insert(card->inBuffer.end(), data, data + n);
        card->held += n;
        return n;
    },
    [](midi::RawMidiCalls::Handle, int) -> int
    {
        ++card->waits;
        card->drain(card->drainPerWait);
        if (card->writeError < 0)
            return card->writeError;
        return card->held < card->bufferSize ? 1 : 0;
    },
    [](midi::RawMidiCalls::Handle) -> int { return card->held; },
    [](midi::RawMidiCalls::Handle) -> int
    {
        card->calls.push_back("drop");
        if (card->writeError < 0)
            return card->writeError;
        card->inBuffer.clear();
        card->held = 0;
        return 0;
    },
    [](midi::RawMidiCalls::Handle)
    {
        auto record = [] { card->calls.push_back("close"); };
        if (card->closeGate != nullptr)
            card->closeGate->pass(record);
        else
            record();
    },
    [](int ms)
    {
        ++card->sleeps;
        card->drain(48 * ms);
    },
};

std::vector<juce::uint8> sysex(int size, int seed = 0)
{
    std::vector<juce::uint8> m((size_t)size);
    for (int i = 0; i < size; ++i)
        m[(size_t)i] = (juce::uint8)((i + seed) & 0x7F);
    m.front() = 0xF0;
    m.back() = 0xF7;
    return m;
}

class RawMidi : public ::testing::Test
{
protected:
    void SetUp() override { card = &fake; }
    void TearDown() override { card = nullptr; }
    FakeCard fake;
};
} // namespace

TEST(RawMidiPath, OnlyACardsHardwarePortsAreWrittenThroughTheirRawDevice)
{
    using midi::SequencerPortFacts;
    // The kernel's client of card 2 numbers its ports DEVICE * 32 + SUBDEVICE.
    EXPECT_EQ(midi::rawDeviceOfPort(SequencerPortFacts{true, 2, true, 0}), juce::String("hw:2,0,0"));
    EXPECT_EQ(midi::rawDeviceOfPort(SequencerPortFacts{true, 1, true, 33}), juce::String("hw:1,1,1"));
    EXPECT_EQ(midi::rawDeviceOfPort(SequencerPortFacts{true, 0, true, 255}), juce::String("hw:0,7,31"));
    // VirMIDI's software port, Midi Through (no card), a program's port, and
    // a port number no card client gives.
    EXPECT_FALSE(midi::rawDeviceOfPort(SequencerPortFacts{true, 1, false, 0}));
    EXPECT_FALSE(midi::rawDeviceOfPort(SequencerPortFacts{true, -1, false, 0}));
    EXPECT_FALSE(midi::rawDeviceOfPort(SequencerPortFacts{false, -1, true, 0}));
    EXPECT_FALSE(midi::rawDeviceOfPort(SequencerPortFacts{true, 2, true, 256}));
    EXPECT_FALSE(midi::rawDeviceOfPort(SequencerPortFacts{true, 2, true, -1}));
}

TEST_F(RawMidi, AMessageLongerThanTheKernelsBufferReachesTheCableWhole)
{
    midi::RawMidiOutputPort port(fakeCalls, &fakeHandle, "Piano");
    const auto block = sysex(4689), request = sysex(9, 3);
    EXPECT_TRUE(port.sendMessageNow(block.data(), (int)block.size()));
    EXPECT_TRUE(port.sendMessageNow(request.data(), (int)request.size()));
    fake.drain(fake.held);
    auto expected = block;
    expected.insert(expected.end(), request.begin(), request.end());
    EXPECT_EQ(fake.cable, expected);
    EXPECT_GT(fake.waits, 0); // it waited for room instead of dropping
    EXPECT_TRUE(fake.calls.empty());
}

TEST_F(RawMidi, AStalledOrVanishedDeviceFailsTheSendInsteadOfHanging)
{
    {
        // Nothing drains: the send gives up after the stall time, and what the
        // device held of the message is dropped.
        fake.drainPerWait = 0;
        midi::RawMidiOutputPort port(fakeCalls, &fakeHandle, "Piano", 500, 50);
        const auto block = sysex(4689);
        EXPECT_FALSE(port.sendMessageNow(block.data(), (int)block.size()));
        EXPECT_EQ(fake.waits, 10);
        EXPECT_EQ(fake.calls, (std::vector<std::string>{"drop"}));
    }
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"drop", "drop", "close"}));

    // Unplugged: the write fails at once, and so does the wait for room. A
    // device that went away cannot be emptied, and the kernel's close waits
    // for it (10 s): it is closed on a thread of its own, never the caller's.
    const auto block = sysex(4689);
    for (const bool inTheWait : {false, true})
    {
        fake = FakeCard{};
        Gate kernelGivesUp;
        fake.closeGate = &kernelGivesUp;
        midi::RawMidiCalls unplugged = fakeCalls;
        if (inTheWait)
        {
            fake.bufferSize = 100;
            unplugged.waitForRoom = [](midi::RawMidiCalls::Handle, int) -> int { return -ENODEV; };
        }
        else
            fake.writeError = -ENODEV;
        {
            midi::RawMidiOutputPort port(unplugged, &fakeHandle, "Piano");
            EXPECT_FALSE(port.sendMessageNow(block.data(), (int)block.size()));
            EXPECT_EQ(fake.held, inTheWait ? 100 : 0);
        } // returns while the close still waits
        kernelGivesUp.open();
        ASSERT_TRUE(kernelGivesUp.waitPassed());
        EXPECT_EQ(fake.calls, (std::vector<std::string>{"close"})); // no drop of a device that is gone
    }

    // Cancelled: the send returns without waiting out the stall.
    fake = FakeCard{};
    fake.drainPerWait = 0;
    midi::RawMidiOutputPort cancelled(fakeCalls, &fakeHandle, "Piano", 1000000, 50);
    cancelled.cancelSends();
    EXPECT_FALSE(cancelled.sendMessageNow(block.data(), (int)block.size()));
    EXPECT_LE(fake.waits, 1);
}

TEST_F(RawMidi, TheDirectRequestIsDrainedThenTheDeviceClosedAndABusyDeviceIsTold)
{
    const auto request = sysex(9);
    EXPECT_EQ(midi::sendRawMidiDirect(fakeCalls, "hw:2,0,0", request.data(), 9), midi::DirectSend::sent);
    EXPECT_EQ(fake.cable, request);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"open hw:2,0,0", "drop", "close"}));

    // A device that never sends is given its bounded time, then closed
    // without waiting for the kernel's drain.
    fake = FakeCard{};
    fake.drainPerWait = 0;
    midi::RawMidiCalls stuck = fakeCalls;
    stuck.sleep = [](int) { ++card->sleeps; };
    EXPECT_EQ(midi::sendRawMidiDirect(stuck, "hw:2,0,0", request.data(), 9, 100), midi::DirectSend::sent);
    EXPECT_EQ(fake.sleeps, 20);
    EXPECT_EQ(fake.calls.back(), "close");

    fake = FakeCard{};
    fake.openError = -EBUSY;
    EXPECT_EQ(midi::sendRawMidiDirect(fakeCalls, "hw:2,0,0", request.data(), 9), midi::DirectSend::notOpened);
    int error = 0;
    EXPECT_EQ(midi::openRawMidiOutput(fakeCalls, "hw:2,0,0", "Piano", error), nullptr);
    EXPECT_EQ(error, -EBUSY);
    const auto notice = midi::sequencerFallbackNotice("Tessaro Digital Piano MIDI 1", "hw:2,0,0", error);
    EXPECT_TRUE(notice.contains("hw:2,0,0") && notice.contains("held by another program") &&
                notice.contains("may cut long"))
        << notice;
}

namespace
{
// An output whose sends wait until the test lets them through, recording
// which thread sent and what.
struct GatedOutput final : midi::OutputPort
{
    juce::String getName() const override { return "Gated"; }
    juce::String notice() const override { return "a notice"; }
    bool sendMessageNow(const juce::uint8* data, int size) override
    {
        std::unique_lock<std::mutex> l(lock);
        started = true;
        changed.notify_all();
        changed.wait(l, [this] { return open > 0 || cancelled; });
        if (cancelled)
            return false;
        --open;
        sent.emplace_back(data, data + size);
        senders.push_back(std::this_thread::get_id());
        changed.notify_all();
        return !failNext;
    }
    void cancelSends() override
    {
        const std::lock_guard<std::mutex> g(lock);
        cancelled = true;
        changed.notify_all();
    }
    void let(int count)
    {
        const std::lock_guard<std::mutex> g(lock);
        open += count;
        changed.notify_all();
    }
    void waitStarted()
    {
        std::unique_lock<std::mutex> l(lock);
        changed.wait(l, [this] { return started; });
    }

    std::mutex lock;
    std::condition_variable changed;
    int open = 0;
    bool started = false, cancelled = false, failNext = false;
    std::vector<std::vector<juce::uint8>> sent;
    std::vector<std::thread::id> senders;
};
} // namespace

TEST(QueuedOutput, ASendNeverWaitsForTheDeviceAndMessagesLeaveInOrderOnItsThread)
{
    auto gated = std::make_unique<GatedOutput>();
    auto* device = gated.get();
    midi::QueuedOutputPort port(std::move(gated), 16 * 1024);
    EXPECT_EQ(port.getName(), "Gated");
    EXPECT_EQ(port.notice(), "a notice");
    const auto a = sysex(4689, 1), b = sysex(4689, 2), c = sysex(9, 3);
    // The device takes nothing yet, and every send returns at once.
    EXPECT_TRUE(port.sendMessageNow(a.data(), (int)a.size()));
    EXPECT_TRUE(port.sendMessageNow(b.data(), (int)b.size()));
    EXPECT_TRUE(port.sendMessageNow(c.data(), (int)c.size()));
    device->waitStarted();
    // The queue is bounded: the ring holds 16 KiB, the thread one message.
    const auto d = sysex(4689, 4), e = sysex(4689, 5), f = sysex(4689, 6);
    EXPECT_TRUE(port.sendMessageNow(d.data(), (int)d.size()));
    EXPECT_TRUE(port.sendMessageNow(e.data(), (int)e.size()));
    EXPECT_FALSE(port.sendMessageNow(f.data(), (int)f.size()));
    EXPECT_FALSE(port.sendMessageNow(nullptr, 0));
    EXPECT_FALSE(port.sendMessageNow(a.data(), std::numeric_limits<int>::max()));
    device->let(5);
    ASSERT_TRUE(port.waitUntilSent(10000));
    const std::vector<std::vector<juce::uint8>> expected{a, b, c, d, e};
    EXPECT_EQ(device->sent, expected);
    EXPECT_NE(device->senders[0], std::this_thread::get_id());
    EXPECT_FALSE(port.deviceFailed());
}

TEST(QueuedOutput, AFailedDeviceFailsEverySendAndDeletingCancelsASendInProgress)
{
    {
        auto gated = std::make_unique<GatedOutput>();
        auto* device = gated.get();
        device->failNext = true;
        midi::QueuedOutputPort port(std::move(gated));
        const auto a = sysex(100);
        EXPECT_TRUE(port.sendMessageNow(a.data(), (int)a.size()));
        device->let(1);
        EXPECT_FALSE(port.waitUntilSent(10000)); // at once: the device failed
        EXPECT_TRUE(port.deviceFailed());
        EXPECT_FALSE(port.sendMessageNow(a.data(), (int)a.size()));
    }
    // A device that never takes the message: deleting the port does not hang.
    auto gated = std::make_unique<GatedOutput>();
    auto* device = gated.get();
    auto port = std::make_unique<midi::QueuedOutputPort>(std::move(gated));
    const auto a = sysex(4689);
    EXPECT_TRUE(port->sendMessageNow(a.data(), (int)a.size()));
    EXPECT_TRUE(port->sendMessageNow(a.data(), (int)a.size()));
    device->waitStarted();
    port.reset();
}

TEST_F(RawMidi, TheRawPortBehindTheQueueCarriesAnUpdatesMessagesWhole)
{
    int error = 0;
    auto port = midi::openRawMidiOutput(fakeCalls, "hw:2,0,0", "Tessaro Digital Piano MIDI 1", error);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->getName(), "Tessaro Digital Piano MIDI 1");
    std::vector<juce::uint8> expected;
    for (int i = 0; i < 5; ++i)
    {
        const auto m = sysex(i % 2 == 0 ? 4689 : 9, i);
        EXPECT_TRUE(port->sendMessageNow(m.data(), (int)m.size()));
        expected.insert(expected.end(), m.begin(), m.end());
    }
    ASSERT_TRUE(static_cast<midi::QueuedOutputPort&>(*port).waitUntilSent(10000));
    fake.drain(fake.held);
    EXPECT_EQ(fake.cable, expected);
    port.reset();
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"open hw:2,0,0", "drop", "close"}));
}

namespace
{
// A source whose outputs send on a writer thread, as the system's do.
struct QueuedSource final : midi::Source
{
    struct Recorder final : midi::OutputPort
    {
        explicit Recorder(std::vector<std::vector<juce::uint8>>& s) : sent(s) {}
        juce::String getName() const override { return "Recorder"; }
        bool sendMessageNow(const juce::uint8* data, int size) override
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(5)); // a device draining
            sent.emplace_back(data, data + size);
            return true;
        }
        std::vector<std::vector<juce::uint8>>& sent;
    };
    juce::StringArray inputNames() override { return {}; }
    juce::StringArray outputNames() override { return {"Recorder"}; }
    std::unique_ptr<midi::InputPort> openInput(int, midi::InputCallback*) override { return nullptr; }
    std::unique_ptr<midi::OutputPort> openOutput(int) override
    {
        return std::make_unique<midi::QueuedOutputPort>(std::make_unique<Recorder>(sent));
    }
    std::vector<std::vector<juce::uint8>> sent;
};
} // namespace

TEST(QueuedOutput, TheDirectRequestLeavesBeforeItsPortIsClosed)
{
    QueuedSource source;
    const auto request = sysex(9);
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(source.sendDirect(0, request.data(), 9));
    EXPECT_EQ(source.sent.size(), 20u); // none dropped by the port's closing
}
