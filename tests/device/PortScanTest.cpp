#include "FakeMidiSource.h"
#include "TestSupport.h"
#include "device/Communication.h"
#include "midi/TcpMidiSource.h"
#include "virtual-piano/TcpPianoServer.h"
#include "virtual-piano/VirtualMidiSource.h"
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using testing_support::codeOf;
using testing_support::FakeSource;
using testing_support::pump;
using testing_support::pumpUntil;
using testing_support::Recorder;

namespace
{
Communication::TickPeriods manualTicks()
{
    Communication::TickPeriods p;
    p.manualTicks = true;
    return p;
}

Communication::TickPeriods shrunk(int scanMs)
{
    Communication::TickPeriods p;
    p.scanMs = scanMs;
    p.quietScanMs = 2 * scanMs;
    p.transferMs = 5;
    p.readMs = 2;
    return p;
}

struct ScanFixture : ::testing::Test
{
    midi::VirtualSource* addPiano(const juce::String& config, bool manual = true)
    {
        auto source = std::make_unique<midi::VirtualSource>(vp::PianoConfig::parse(config), 0, manual);
        auto* raw = source.get();
        ports.addSource(std::move(source));
        return raw;
    }

    FakeSource* addFake(juce::StringArray names)
    {
        auto source = std::make_unique<FakeSource>(std::move(names));
        auto* raw = source.get();
        ports.addSource(std::move(source));
        return raw;
    }

    void makeLink(Communication::TickPeriods periods = manualTicks())
    {
        log.AttachEditor(&recorder);
        link = std::make_unique<Communication>(&log, &recorder, ports, periods);
    }

    // One scan tick with everything the instruments had to say delivered first.
    void tick(midi::VirtualSource* piano)
    {
        if (piano != nullptr)
            piano->pump();
        link->timerCallback();
        pump(1);
    }

    // `count` scan ticks, each after the fake's replies were delivered.
    void ticks(FakeSource* fake, int count)
    {
        for (int i = 0; i < count; ++i)
        {
            fake->flush();
            link->timerCallback();
        }
    }

    void TearDown() override { link.reset(); }

    Recorder recorder;
    CLogOutput log;
    midi::PortSet ports;
    std::unique_ptr<Communication> link;
};
} // namespace

TEST_F(ScanFixture, PairsAtTheThirdTick)
{
    auto* piano = addPiano("flash=S29GL512_S");
    makeLink();
    link->restartScan();
    EXPECT_EQ(link->currentTickPeriod(), 1000);
    EXPECT_FALSE(link->isTimerRunning()); // manual ticks never start the framework timer

    tick(piano); // scan 0 sent its requests while no input was open: nothing heard
    EXPECT_FALSE(link->isPaired());
    tick(piano); // scan 1 heard replies, but its requests went out directly
    EXPECT_FALSE(link->isPaired());
    piano->pump(); // scan 2 used kept-open outputs: the reply pairs
    EXPECT_TRUE(link->isPaired());
    EXPECT_EQ(link->pairedOutputName(), "Virtual Piano");
    tick(piano);

    const auto connect = codeOf<EvConnectButton>(), scan = codeOf<EvScanStarted>();
    const std::vector<size_t> expected{connect, scan, connect, scan, connect, scan, codeOf<EvDeviceFound>(),
                                       connect};
    EXPECT_EQ(recorder.codes(), expected);
    EXPECT_TRUE(recorder.last<EvDeviceFound>()->fullSpeed);
    EXPECT_TRUE(std::get<EvConnectButton>(recorder.events.back()).enabled); // enabled again
    EXPECT_EQ(link->getScanCount(), 2);
    EXPECT_FALSE(link->isScanArmed());
    EXPECT_TRUE(link->isPaired());
}

TEST_F(ScanFixture, PairsWithTheRealTimerAndAThreadedInstrument)
{
    addPiano("flash=S29GL256_S", false);
    makeLink(shrunk(20));
    link->restartScan();
    ASSERT_TRUE(pumpUntil([&] { return recorder.count<EvDeviceFound>() > 0; }));
    EXPECT_EQ(recorder.count<EvScanStarted>(), 3);
    EXPECT_TRUE(link->isPaired());
    EXPECT_EQ(link->currentTickPeriod(), 0);
}

// After 101 scans "no device" is told once; then the scan goes on quietly
// (slower, showing no scan in progress) until something answers.
TEST_F(ScanFixture, NoPortsIsToldAfter101ScansAndTheScanGoesOnQuietly)
{
    makeLink();
    link->restartScan();
    for (int i = 0; i < 100; ++i)
        link->timerCallback();
    pump(1);
    EXPECT_EQ(recorder.count<EvNoDevice>(), 0);
    EXPECT_EQ(link->currentTickPeriod(), 1000);
    link->timerCallback();
    pump(1);
    EXPECT_EQ(recorder.count<EvScanStarted>(), 101);
    EXPECT_EQ(recorder.count<EvNoDevice>(), 1);
    EXPECT_TRUE(link->isScanArmed());
    EXPECT_EQ(link->currentTickPeriod(), 2000);
    for (int i = 0; i < 50; ++i)
        link->timerCallback();
    pump(1);
    EXPECT_EQ(recorder.count<EvScanStarted>(), 101);
    EXPECT_EQ(recorder.count<EvConnectButton>(), 101); // no scan shown, the control left on
    EXPECT_EQ(recorder.count<EvNoDevice>(), 1);

    // With the framework's timer the same ending arrives by itself.
    link.reset();
    recorder.clear();
    makeLink(shrunk(1));
    link->restartScan();
    ASSERT_TRUE(pumpUntil([&] { return recorder.count<EvNoDevice>() == 1; }));
    EXPECT_EQ(recorder.count<EvScanStarted>(), 101);
}

TEST_F(ScanFixture, ExcludedPortsAreNeverOpenedOrSentTo)
{
    auto* fake = addFake(
        {"CREATIVE SOUND BLASTER MIDI 1", "USB Piano (Creative Sound Blaster)", "Creative Sound Blaste"});
    fake->replyFromInput = 1;
    makeLink();
    link->restartScan();
    ticks(fake, 3);
    fake->flush();
    for (auto& call : fake->calls)
        EXPECT_EQ(call.find(" 0"), std::string::npos) << call;
    EXPECT_TRUE(fake->called("direct 1"));
    EXPECT_TRUE(fake->called("direct 2"));
    EXPECT_TRUE(fake->called("openOut 2"));
    EXPECT_TRUE(link->isPaired());
    EXPECT_EQ(link->pairedOutputName(), "USB Piano (Creative Sound Blaster)");
}

TEST_F(ScanFixture, ScanOpensInputsTwiceAndOutputsOnlyAfterAReply)
{
    auto* fake = addFake({"Piano In/Out"});
    fake->replyFromInput = 0;
    makeLink();
    link->restartScan();
    EXPECT_EQ(fake->calls, (std::vector<std::string>{"direct 0"})); // scan 0: no input, direct send
    fake->calls.clear();
    fake->flush();
    link->timerCallback();
    EXPECT_EQ(fake->calls, (std::vector<std::string>{"openIn 0", "closeIn 0", "openIn 0", "direct 0"}));
    fake->calls.clear();
    fake->flush();
    link->timerCallback();
    const std::vector<std::string> scan2{"closeIn 0", "openIn 0",  "closeIn 0",
                                         "openIn 0",  "openOut 0", "send 0"};
    EXPECT_EQ(fake->calls, scan2);
}

TEST_F(ScanFixture, SixByteReplyMeansHighSpeed)
{
    auto* piano = addPiano("modebyte=0");
    makeLink();
    link->restartScan();
    for (int i = 0; i < 3; ++i)
        tick(piano);
    ASSERT_NE(recorder.last<EvDeviceFound>(), nullptr);
    EXPECT_FALSE(recorder.last<EvDeviceFound>()->fullSpeed);
    EXPECT_FALSE(link->isFullSpeed());
}

TEST_F(ScanFixture, HighSpeedModeByteMeansHighSpeed)
{
    auto* piano = addPiano("speed=high");
    makeLink();
    link->restartScan();
    for (int i = 0; i < 3; ++i)
        tick(piano);
    ASSERT_NE(recorder.last<EvDeviceFound>(), nullptr);
    EXPECT_FALSE(recorder.last<EvDeviceFound>()->fullSpeed);
}

TEST_F(ScanFixture, SecondInstrumentPostsTwoDevicesAndTheFirstStaysPaired)
{
    auto* pianos = addPiano("instruments=2");
    makeLink();
    link->restartScan();
    for (int i = 0; i < 3; ++i)
        tick(pianos);
    EXPECT_EQ(recorder.count<EvTwoDevices>(), 1);
    ASSERT_EQ(recorder.count<EvDeviceFound>(), 1);
    const auto codes = recorder.codes();
    EXPECT_LT(std::find(codes.begin(), codes.end(), codeOf<EvTwoDevices>()),
              std::find(codes.begin(), codes.end(), codeOf<EvDeviceFound>()));
    EXPECT_EQ(link->pairedOutputName(), "Virtual Piano");
}

// A flood of identify replies costs one notice per scan and a bounded number
// of posted messages, whatever the count; repeats of the paired instrument's
// own reply are no second instrument.
TEST_F(ScanFixture, IdentifyFloodFromOneInstrumentIsNoSecondInstrument)
{
    auto* piano = addPiano("identify_flood=20000");
    makeLink();
    link->restartScan();
    for (int i = 0; i < 3; ++i)
        tick(piano);
    ASSERT_EQ(recorder.count<EvDeviceFound>(), 1);
    EXPECT_EQ(recorder.count<EvTwoDevices>(), 0);
    EXPECT_LT(recorder.events.size(), 40u);
    EXPECT_TRUE(link->isFullSpeed());
}

TEST_F(ScanFixture, IdentifyFloodFromTwoInstrumentsIsOneNotice)
{
    auto* pianos = addPiano("instruments=2,identify_flood=20000");
    makeLink();
    link->restartScan();
    for (int i = 0; i < 3; ++i)
        tick(pianos);
    ASSERT_EQ(recorder.count<EvDeviceFound>(), 1);
    EXPECT_EQ(recorder.count<EvTwoDevices>(), 1);
    EXPECT_LT(recorder.events.size(), 40u);
    EXPECT_EQ(link->pairedOutputName(), "Virtual Piano");
}

// Only the reply that pairs sets the link speed: a later reply through
// another port, at high speed, changes nothing under the paired instrument.
TEST_F(ScanFixture, LinkSpeedComesFromThePairingReply)
{
    auto* fake = addFake({"Piano A", "Piano B"});
    fake->replyFromInput = 0;
    fake->highSpeedIndex = 1;
    makeLink();
    link->restartScan();
    ticks(fake, 3);
    pump(1);
    ASSERT_TRUE(link->isPaired());
    EXPECT_EQ(link->pairedOutputName(), "Piano A");
    EXPECT_TRUE(link->isFullSpeed());
    EXPECT_EQ(recorder.count<EvTwoDevices>(), 1);
}

TEST_F(ScanFixture, ReplyWithAnIndexOutsideTheListPairsNothing)
{
    auto* fake = addFake({"Piano A", "Piano B"});
    fake->replyFromInput = 1;
    fake->replyIndex = 5;
    makeLink();
    link->restartScan();
    ticks(fake, 4);
    EXPECT_FALSE(link->isPaired());
    EXPECT_EQ(recorder.count<EvDeviceFound>(), 0);
    // A reply was seen, so later scans send through kept-open outputs.
    EXPECT_TRUE(fake->called("openOut 0"));
    EXPECT_TRUE(fake->called("openOut 1"));
}

TEST_F(ScanFixture, RestartDropsThePairingBeforeAnyRequest)
{
    auto* fake = addFake({"Piano"});
    fake->replyFromInput = 0;
    makeLink();
    link->restartScan();
    ticks(fake, 3);
    ASSERT_TRUE(link->isPaired());
    pump(1);
    fake->calls.clear();
    recorder.clear();
    link->restartScan();
    EXPECT_FALSE(link->isPaired());
    ASSERT_EQ(fake->calls.size(), 3u);
    EXPECT_TRUE(fake->called("closeOut 0"));
    EXPECT_TRUE(fake->called("closeIn 0"));
    EXPECT_EQ(fake->calls[2], "direct 0");
    pump(1);
    EXPECT_EQ(recorder.codes(), (std::vector<size_t>{codeOf<EvConnectButton>(), codeOf<EvScanStarted>()}));
    EXPECT_FALSE(std::get<EvConnectButton>(recorder.events[0]).enabled);
}

TEST_F(ScanFixture, TcpTransportPairsAndALostPeerLooksUnplugged)
{
    auto server = std::make_unique<vp::TcpPianoServer>(vp::PianoConfig{}, 0);
    ASSERT_TRUE(server->start());
    const int port = server->port();
    ports.addSource(midi::createTcpSource("127.0.0.1", port));
    EXPECT_EQ(ports.outputNames()[0], "TCP MIDI 127.0.0.1:" + juce::String(port));
    makeLink(shrunk(30));
    link->restartScan();
    ASSERT_TRUE(pumpUntil([&] { return recorder.count<EvDeviceFound>() == 1; }));
    EXPECT_TRUE(recorder.last<EvDeviceFound>()->fullSpeed);

    // The peer vanishes: the transport says so, and scans find nothing.
    recorder.clear();
    server.reset();
    ASSERT_TRUE(pumpUntil([&] { return recorder.count<EvLinkLost>() == 1; }));
    link->restartScan(true);
    pump(200);
    EXPECT_EQ(recorder.count<EvDeviceFound>(), 0);
    EXPECT_EQ(recorder.count<EvScanStarted>(), 0); // quietly

    // It comes back: the quiet scan finds it and pairs at the ordinary pace.
    server = std::make_unique<vp::TcpPianoServer>(vp::PianoConfig{}, port);
    ASSERT_TRUE(server->start());
    ASSERT_TRUE(pumpUntil([&] { return recorder.count<EvDeviceFound>() == 1; }));
}

TEST(PortNames, ExclusionComparesThePrefixWithoutCase)
{
    EXPECT_TRUE(Communication::isExcludedPortName("Creative Sound Blaster"));
    EXPECT_TRUE(Communication::isExcludedPortName("creative sound blaster MIDI 2"));
    EXPECT_FALSE(Communication::isExcludedPortName("My Creative Sound Blaster"));
    EXPECT_FALSE(Communication::isExcludedPortName("Creative Sound"));
    EXPECT_FALSE(Communication::isExcludedPortName(""));
}

namespace
{
// Counts the TCP sources' connect attempts and notes any made on the thread
// that asked for a port. An attempt may be held until release().
struct ConnectWatch
{
    ConnectWatch()
    {
        midi::setTcpConnectObserver(
            [this]
            {
                ++attempts;
                if (std::this_thread::get_id() == caller)
                    onCaller = true;
                started.signal();
                if (holding)
                    released.wait(10000);
            });
    }
    ~ConnectWatch() { midi::setTcpConnectObserver(nullptr); }
    void release()
    {
        holding = false;
        released.signal();
    }

    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> attempts{0};
    std::atomic<bool> onCaller{false}, holding{true};
    juce::WaitableEvent started, released;
};

int closedLocalPort()
{
    juce::StreamingSocket probe;
    probe.createListener(0, "127.0.0.1");
    const int port = probe.getBoundPort();
    probe.close();
    return port;
}
} // namespace

TEST(TcpSource, ConnectsInTheBackgroundAndKeepsTheConnectionBetweenScans)
{
    vp::TcpPianoServer server(vp::PianoConfig{}, 0);
    ASSERT_TRUE(server.start());
    ConnectWatch watch;
    auto source = midi::createTcpSource("127.0.0.1", server.port());
    const juce::uint8 identify[] = {0xF0, 0x00, 0x20, 0x54, 0x7D, 0x08, 0x00, 0x01, 0xF7};

    // The first open starts a connect and returns without it, while the
    // connect is still held.
    EXPECT_TRUE(source->openOutput(0) == nullptr);
    ASSERT_TRUE(watch.started.wait(10000));
    EXPECT_TRUE(source->openInput(0, nullptr) == nullptr);
    EXPECT_FALSE(source->sendDirect(0, identify, (int)sizeof(identify)));
    EXPECT_EQ(watch.attempts, 1);
    watch.release();

    // The connection arrives; both ports share it, and it outlives them.
    ASSERT_TRUE(testing_support::pumpUntil([&] { return source->openOutput(0) != nullptr; }));
    struct Replies : midi::InputCallback
    {
        void handleIncomingMidiMessage(midi::InputPort*, const juce::uint8*, int) override { ++count; }
        std::atomic<int> count{0};
    } replies;
    {
        auto in = source->openInput(0, &replies);
        auto out = source->openOutput(0);
        ASSERT_NE(in, nullptr);
        ASSERT_NE(out, nullptr);
        in->start();
        EXPECT_TRUE(out->sendMessageNow(identify, (int)sizeof(identify)));
        ASSERT_TRUE(testing_support::pumpUntil([&] { return replies.count == 1; }));
    }
    EXPECT_TRUE(source->sendDirect(0, identify, (int)sizeof(identify)));
    EXPECT_EQ(watch.attempts, 1);

    // The peer drops it: a later open connects again.
    server.dropConnection();
    ASSERT_TRUE(
        testing_support::pumpUntil([&] { return source->openOutput(0) != nullptr && watch.attempts == 2; }));
    EXPECT_FALSE(watch.onCaller);
    source.reset();
}

TEST(TcpSource, ScansOfARefusingPeerNeverConnectOnTheMessageThread)
{
    ConnectWatch watch;
    watch.release();
    Recorder recorder;
    CLogOutput log;
    log.AttachEditor(&recorder);
    midi::PortSet ports;
    ports.addSource(midi::createTcpSource("127.0.0.1", closedLocalPort()));
    auto periods = shrunk(1);
    periods.quietScanMs = 1;
    auto link = std::make_unique<Communication>(&log, &recorder, ports, periods);
    link->restartScan();
    ASSERT_TRUE(pumpUntil([&] { return recorder.count<EvNoDevice>() == 1; }));
    EXPECT_EQ(recorder.count<EvScanStarted>(), 101);
    EXPECT_GE(watch.attempts, 1);
    EXPECT_FALSE(watch.onCaller);
    link.reset();
}
