#include "midi/DirectMidiOut.h"
#include "midi/MidiPorts.h"
#include "midi/QueuedOutputPort.h"
#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace
{
// A scripted multimedia MIDI output: records every call in order.
struct FakeDriver
{
    unsigned devices = 3;
    std::vector<unsigned> unreadableCaps;
    std::vector<unsigned> failingOpen;
    unsigned prepareResult = 0, longResult = 0;
    int stillPlaying = 0; // unprepare answers "still playing" this many times
    std::vector<std::string> calls;
    std::vector<juce::uint8> sent;
    const char* sentFrom = nullptr;
    std::atomic<int> sleeps{0}; // read while a sender thread waits
};
FakeDriver* driver = nullptr;

constexpr midi::MidiOutCalls::Handle kHandleBase = 0x100;

const midi::MidiOutCalls fakeCalls{
    []() -> unsigned { return driver->devices; },
    [](unsigned id) -> unsigned
    {
        for (auto u : driver->unreadableCaps)
            if (u == id)
                return 2; // MMSYSERR_BADDEVICEID
        return 0;
    },
    [](midi::MidiOutCalls::Handle* handle, unsigned id) -> unsigned
    {
        driver->calls.push_back("open " + std::to_string(id));
        for (auto f : driver->failingOpen)
            if (f == id)
                return 4; // MMSYSERR_ALLOCATED
        *handle = kHandleBase + id;
        return 0;
    },
    [](midi::MidiOutCalls::Handle h, midi::MidiOutCalls::Header* header) -> unsigned
    {
        driver->calls.push_back("prepare " + std::to_string(h - kHandleBase) + " " +
                                std::to_string(header->length));
        driver->sentFrom = header->data;
        return driver->prepareResult;
    },
    [](midi::MidiOutCalls::Handle, midi::MidiOutCalls::Header* header) -> unsigned
    {
        driver->calls.push_back("long");
        driver->sent.assign((const juce::uint8*)header->data,
                            (const juce::uint8*)header->data + header->length);
        return driver->longResult;
    },
    [](midi::MidiOutCalls::Handle, midi::MidiOutCalls::Header*) -> unsigned
    {
        driver->calls.push_back("unprepare");
        if (driver->stillPlaying > 0)
        {
            --driver->stillPlaying;
            return midi::MidiOutCalls::kStillPlaying;
        }
        return 0;
    },
    [](midi::MidiOutCalls::Handle) -> unsigned
    {
        driver->calls.push_back("reset");
        driver->stillPlaying = 0;
        return 0;
    },
    [](midi::MidiOutCalls::Handle h) -> unsigned
    {
        driver->calls.push_back("close " + std::to_string(h - kHandleBase));
        return 0;
    },
    [](int ms)
    {
        driver->calls.push_back("sleep " + std::to_string(ms));
        ++driver->sleeps;
    },
};

struct DirectMidiOut : ::testing::Test
{
    void SetUp() override { driver = &fake; }
    void TearDown() override { driver = nullptr; }

    int count(const std::string& call) const
    {
        int n = 0;
        for (auto& c : fake.calls)
            n += c == call ? 1 : 0;
        return n;
    }

    FakeDriver fake;
    const juce::uint8 request[9] = {0xF0, 0x00, 0x20, 0x54, 0x7D, 0x08, 0x02, 0x01, 0xF7};
};
} // namespace

TEST_F(DirectMidiOut, OpensSendsACopyAsOneLongMessageReleasesAndCloses)
{
    EXPECT_TRUE(midi::sendDirectMidiOut(fakeCalls, 2, request, 9));
    EXPECT_EQ(fake.calls,
              (std::vector<std::string>{"open 2", "prepare 2 9", "long", "unprepare", "close 2"}));
    EXPECT_EQ(fake.sent, std::vector<juce::uint8>(request, request + 9));
    EXPECT_NE((const void*)fake.sentFrom, (const void*)request); // the driver gets a copy
}

TEST_F(DirectMidiOut, ADeviceThatDoesNotOpenIsSkipped)
{
    fake.failingOpen = {1};
    EXPECT_FALSE(midi::sendDirectMidiOut(fakeCalls, 1, request, 9));
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"open 1"}));
    EXPECT_FALSE(midi::sendDirectMidiOut(fakeCalls, 0, nullptr, 0));
}

TEST_F(DirectMidiOut, FailuresStillReleaseAndClose)
{
    fake.prepareResult = 7; // MMSYSERR_NOMEM
    EXPECT_FALSE(midi::sendDirectMidiOut(fakeCalls, 0, request, 9));
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"open 0", "prepare 0 9", "close 0"}));

    fake.calls.clear();
    fake.prepareResult = 0;
    fake.longResult = 67; // MIDIERR_NOTREADY
    EXPECT_FALSE(midi::sendDirectMidiOut(fakeCalls, 0, request, 9));
    EXPECT_EQ(fake.calls,
              (std::vector<std::string>{"open 0", "prepare 0 9", "long", "unprepare", "close 0"}));
}

TEST_F(DirectMidiOut, WaitsForTheDriverToGiveTheBufferBack)
{
    fake.stillPlaying = 3;
    EXPECT_TRUE(midi::sendDirectMidiOut(fakeCalls, 0, request, 9));
    EXPECT_EQ(count("unprepare"), 4);
    EXPECT_EQ(count("sleep 1"), 3);
    EXPECT_EQ(count("reset"), 0);
    EXPECT_EQ(fake.calls.back(), "close 0");
}

TEST_F(DirectMidiOut, ADriverThatNeverFinishesIsResetBeforeTheBufferIsFreed)
{
    fake.stillPlaying = 1000000;
    EXPECT_TRUE(midi::sendDirectMidiOut(fakeCalls, 0, request, 9));
    EXPECT_EQ(count("sleep 1"), 100);
    ASSERT_GE(fake.calls.size(), 3u);
    EXPECT_EQ(fake.calls[fake.calls.size() - 3], "reset");
    EXPECT_EQ(fake.calls[fake.calls.size() - 2], "unprepare");
    EXPECT_EQ(fake.calls.back(), "close 0");
}

TEST_F(DirectMidiOut, ListedPortsAreTheDevicesWhoseCapabilitiesCanBeRead)
{
    fake.devices = 4;
    EXPECT_EQ(midi::deviceIdOfListedPort(fakeCalls, 0), 0);
    EXPECT_EQ(midi::deviceIdOfListedPort(fakeCalls, 3), 3);
    EXPECT_EQ(midi::deviceIdOfListedPort(fakeCalls, 4), -1);
    EXPECT_EQ(midi::deviceIdOfListedPort(fakeCalls, -1), -1);
    fake.unreadableCaps = {1};
    EXPECT_EQ(midi::deviceIdOfListedPort(fakeCalls, 0), 0);
    EXPECT_EQ(midi::deviceIdOfListedPort(fakeCalls, 1), 2);
    EXPECT_EQ(midi::deviceIdOfListedPort(fakeCalls, 2), 3);
    EXPECT_EQ(midi::deviceIdOfListedPort(fakeCalls, 3), -1);
}

TEST_F(DirectMidiOut, AKeptOutputSendsEachMessageWholeOnItsOwnThreadAndWaitsForTheDriver)
{
    fake.stillPlaying = 5; // the driver needs 5 ms for the first message
    auto port = midi::openWinMmOutput(fakeCalls, 1, "Piano", 50);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->getName(), "Piano");
    std::vector<juce::uint8> block(4689, 0x11);
    block.front() = 0xF0;
    block.back() = 0xF7;
    EXPECT_TRUE(port->sendMessageNow(block.data(), (int)block.size()));
    EXPECT_TRUE(port->sendMessageNow(request, 9));
    auto& queued = static_cast<midi::QueuedOutputPort&>(*port);
    ASSERT_TRUE(queued.waitUntilSent(10000));
    EXPECT_FALSE(queued.deviceFailed());
    EXPECT_EQ(fake.sent, std::vector<juce::uint8>(request, request + 9));
    EXPECT_EQ(count("long"), 2);
    EXPECT_EQ(count("sleep 1"), 5);
    EXPECT_EQ(count("reset"), 0);

    // A driver that holds a message past the limit is reset: the message was
    // cut, so the port fails from then on.
    fake.stillPlaying = 1000000;
    EXPECT_TRUE(port->sendMessageNow(block.data(), (int)block.size()));
    EXPECT_FALSE(queued.waitUntilSent(10000));
    EXPECT_TRUE(queued.deviceFailed());
    EXPECT_EQ(count("reset"), 1);
    EXPECT_FALSE(port->sendMessageNow(request, 9));
    port.reset();
    EXPECT_EQ(fake.calls.back(), "close 1");
    EXPECT_EQ(midi::openWinMmOutput(fakeCalls, 7, "None"), nullptr);
}

TEST_F(DirectMidiOut, DeletingAKeptOutputEndsAWaitForTheDriver)
{
    fake.stillPlaying = 1000000000; // never finishes, and the limit is far
    auto port = midi::openWinMmOutput(fakeCalls, 0, "Piano", 1000000000);
    EXPECT_TRUE(port->sendMessageNow(request, 9));
    while (fake.sleeps.load() == 0)
        std::this_thread::yield();
    port.reset(); // returns: the wait was cancelled, the device reset and closed
    EXPECT_EQ(fake.calls.back(), "close 0");
    EXPECT_GE(count("reset"), 1);
}

#if JUCE_WINDOWS
// The system source's direct send goes through the table in use.
TEST_F(DirectMidiOut, TheSystemSourceSendsThroughTheTable)
{
    midi::setMidiOutCallsForTests(&fakeCalls);
    fake.unreadableCaps = {0};
    auto source = midi::createSystemSource();
    EXPECT_TRUE(source->sendDirect(1, request, 9));
    EXPECT_EQ(fake.calls.front(), "open 2");
    EXPECT_EQ(fake.calls.back(), "close 2");
    EXPECT_FALSE(source->sendDirect(5, request, 9));
    midi::setMidiOutCallsForTests(nullptr);
}
#endif
