// The transfer engine on its own: scripted replies and ticks in, frames,
// events, log text and read data out. No threads, no ports, no files.
#include "device/TransferEngine.h"
#include "TestSupport.h"
#include "core/CustomMessage.h"
#include <gtest/gtest.h>

namespace
{
struct FakeHost : TransferEngine::Host
{
    void sendFrame(const juce::uint8* frame, int size) override { frames.emplace_back(frame, frame + size); }
    void postEvent(Event event) override { events.push_back(std::move(event)); }
    void postProgress(ProgressKind kind, int value, int total) override
    {
        events.push_back(EvProgress{kind, value, total});
    }
    void logText(const char* text) override { log += text; }
    void logHighlighted(juce::uint32, const char* text) override { log += text; }
    void setTickPeriod(int periodMs) override { tickPeriod = periodMs; }
    juce::uint32 now() override { return clock; }
    bool storeReadData(const juce::uint8* data, int size) override
    {
        if (!storeWorks)
            return false;
        stored.insert(stored.end(), data, data + size);
        return true;
    }
    void readDataComplete() override { ++readsComplete; }
    void quietWaitEnded() override { ++quietWaits; }
    void readAbandoned() override { ++readsAbandoned; }

    // Job ends posted, in all and failed.
    int ends() const
    {
        return count<EvStepDone>([](auto&) { return true; });
    }
    int failedEnds() const
    {
        return count<EvStepDone>([](auto& e) { return e.failure.has_value(); });
    }
    int progress(ProgressKind kind) const
    {
        return count<EvProgress>([&](auto& e) { return e.kind == kind; });
    }
    template <typename T, typename Predicate> int count(Predicate matches) const
    {
        return testing_support::countOf<T>(events, matches);
    }
    const EvStepDone* lastEnd() const { return testing_support::lastOf<EvStepDone>(events); }
    int command(size_t frame) const { return frames.at(frame).at(5); }

    std::vector<std::vector<juce::uint8>> frames;
    std::vector<Event> events;
    std::string log;
    std::vector<juce::uint8> stored;
    int tickPeriod = 0, readsComplete = 0, quietWaits = 0, readsAbandoned = 0;
    juce::uint32 clock = 1000;
    bool storeWorks = true;
};

struct EngineRig : ::testing::Test
{
    FakeHost host;
    TransferEngine engine{host, {500, 80}};

    void status(int s) { engine.onStatus(s); }
    void ticks(int n)
    {
        for (int i = 0; i < n; ++i)
            engine.onTick();
    }
    // One packet carrying `count` bytes of `data`.
    void packet(const juce::uint8* data, int count)
    {
        std::vector<juce::uint8> m{0x00, 0x20, 0x54, 0x7D, 0x01, 0x00};
        m.resize(6 + (size_t)count + (size_t)count / 7 + 2);
        const int n = sysex::packBytes(data, count, m.data() + 6);
        engine.onPacket(m.data(), 6 + n);
    }
    // A whole full-speed block in `packets` packets.
    void block(juce::uint8 fill, int packets = 1, bool spoilChecksum = false)
    {
        std::vector<juce::uint8> b(sysex::kChecksummedBlockSize, fill);
        sysex::blockChecksum(b.data(), b.data() + sysex::kBlockSize);
        if (spoilChecksum)
            b.back() ^= 1;
        const int size = (int)b.size() / packets;
        for (int p = 0; p < packets; ++p)
            packet(b.data() + p * size, p + 1 < packets ? size : (int)b.size() - p * size);
    }
};
} // namespace

TEST_F(EngineRig, UploadSendsBlocksOnEachStatusAndPadsTheLast)
{
    std::vector<juce::uint8> image(5000, 0x11);
    engine.beginJob();
    engine.startUpload(image.data(), (juce::int64)image.size());
    ASSERT_EQ(host.frames.size(), 2u);
    EXPECT_EQ(host.command(0), sysex::CmdDriverUpload);
    EXPECT_EQ(host.command(1), sysex::CmdData);
    EXPECT_EQ(host.tickPeriod, 500);
    status(0);
    ASSERT_EQ(host.frames.size(), 3u);
    // The second block: 904 bytes of data, then 0xFF.
    juce::uint8 unpacked[sysex::kBlockSize + 8];
    sysex::unpackPayload(host.frames[2].data() + 6, (int)host.frames[2].size() - 7, unpacked, 0,
                         sizeof(unpacked));
    EXPECT_EQ(unpacked[903], 0x11);
    EXPECT_EQ(unpacked[904], 0xFF);
    status(0);
    EXPECT_EQ(host.log, "Send driver OK!\n");
    ASSERT_NE(host.lastEnd(), nullptr);
    EXPECT_EQ(host.lastEnd()->failure, std::nullopt);
    EXPECT_EQ(host.lastEnd()->serial, engine.jobSerial());
    EXPECT_EQ(host.progress(ProgressKind::transfer), 3); // (0 of 1), (4096 of 5000), (8192 of 5000)
    // The job ended: a further status answers nothing.
    status(0);
    EXPECT_EQ(host.ends(), 1);
    EXPECT_EQ(engine.unexpectedReplies(), 1);
    EXPECT_EQ(engine.stateNumber(), -1);
}

TEST_F(EngineRig, StatusesOtherThanZero)
{
    std::vector<juce::uint8> data(8192, 0x22);
    // A driver upload ends at any status (and counts as sent).
    engine.beginJob();
    engine.startUpload(data.data(), (juce::int64)data.size());
    status(1);
    EXPECT_EQ(host.log, "Send driver OK!\n");
    EXPECT_EQ(host.lastEnd()->failure, std::nullopt);
    // Programming: a refusal is a failure.
    host.log.clear();
    engine.beginJob();
    engine.startProgram(data.data(), 0x20000, (juce::int64)data.size());
    status(1);
    EXPECT_EQ(host.log, "Flash operation failed (status 1).\n");
    EXPECT_EQ(host.lastEnd()->failure, StepFailure::flashOperationFailed);
    EXPECT_EQ(host.failedEnds(), 1);
    EXPECT_EQ(host.tickPeriod, 0);
    // Status 2: the instrument's own flash operation timed out.
    host.log.clear();
    engine.beginJob();
    engine.startErase({0x10000, 0x20000});
    status(2);
    EXPECT_EQ(host.log, "Timer out when operating the flash.\n");
    EXPECT_EQ(host.lastEnd()->failure, StepFailure::timeOut);
    // Status 3 and the flash test's verdicts.
    host.log.clear();
    engine.beginJob();
    engine.startTestFlash(0);
    status(3);
    EXPECT_EQ(host.log, "The device has no response.\n");
    host.log.clear();
    engine.beginJob();
    engine.startTestFlash(0);
    status(1);
    EXPECT_EQ(host.log, "Fail.\n");
    EXPECT_EQ(host.lastEnd()->failure, StepFailure::none);
    host.log.clear();
    engine.beginJob();
    engine.startTestFlash(0);
    status(0);
    EXPECT_EQ(host.log, "OK.\n");
    EXPECT_EQ(host.lastEnd()->failure, std::nullopt);
}

TEST_F(EngineRig, EraseRunsSectorBySectorAndTimesOutOnTheNinthSilentTick)
{
    engine.beginJob();
    engine.startErase({0x10000, 0x20000, 0x30000});
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(sysex::decodeWord(host.frames[0].data() + 6), 0x10000u);
    ticks(8);
    EXPECT_EQ(host.ends(), 0);
    status(0); // the silence count starts again
    status(0);
    ASSERT_EQ(host.frames.size(), 3u);
    EXPECT_EQ(sysex::decodeWord(host.frames[2].data() + 6), 0x30000u);
    host.clock += 1234;
    status(0);
    EXPECT_EQ(host.lastEnd()->failure, std::nullopt);
    EXPECT_EQ(host.log, "Erase finished, time:00:00:01.234\n");
    EXPECT_EQ(host.tickPeriod, 0);

    host.log.clear();
    engine.beginJob();
    engine.startErase({0x10000});
    ticks(8);
    EXPECT_EQ(host.ends(), 1);
    ticks(1);
    EXPECT_EQ(host.log, "The device has no response.\n");
    EXPECT_EQ(host.lastEnd()->failure, StepFailure::timeOut);
    // Ticks after the end change nothing.
    ticks(20);
    EXPECT_EQ(host.ends(), 2);
}

TEST_F(EngineRig, ReadStoresBlocksAndEndsOnlyWhenTheOwnerMadeThemDurable)
{
    engine.beginJob();
    engine.startRead(0x40000, 0x1800, true);
    EXPECT_EQ(host.tickPeriod, 80);
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(host.frames[0][10], 0x01); // a read request
    block(0xA5, 3);                      // in three packets: each but the last acknowledged
    EXPECT_EQ(host.command(1), sysex::CmdAck);
    EXPECT_EQ(host.command(2), sysex::CmdAck);
    EXPECT_EQ(host.command(3), sysex::CmdSetAddress); // the next block
    block(0x5A);
    ASSERT_EQ(host.stored.size(), 0x1800u);
    EXPECT_EQ(host.stored[0x17FF], 0x5A);
    EXPECT_EQ(host.readsComplete, 1);
    EXPECT_EQ(host.ends(), 0);
    // While the owner syncs, ticks and replies change nothing.
    ticks(20);
    status(3);
    EXPECT_EQ(host.ends(), 0);
    engine.finishRead(true);
    EXPECT_EQ(host.lastEnd()->failure, std::nullopt);
    EXPECT_NE(host.log.find("Read OK.\n"), std::string::npos);

    // A read whose data cannot be kept, or made durable, fails: it cannot create its file.
    engine.beginJob();
    engine.startRead(0, 0x1000, true);
    host.storeWorks = false;
    block(1);
    EXPECT_EQ(host.lastEnd()->failure, StepFailure::cantCreateFile);
    EXPECT_EQ(host.readsAbandoned, 1);
    host.storeWorks = true;
    engine.beginJob();
    engine.startRead(0, 0x1000, true);
    block(1);
    engine.finishRead(false);
    EXPECT_EQ(host.lastEnd()->failure, StepFailure::cantCreateFile);
}

// However a read ends, it posts one end of its job and one end of its
// progress, and nothing the owner or the instrument does afterwards adds any.
TEST_F(EngineRig, AReadJobEndsOnce)
{
    struct Case
    {
        const char* name;
        bool storeWorks, durable;
        std::optional<StepFailure> failure;
    };
    const Case cases[] = {{"durable", true, true, std::nullopt},
                          {"not durable", true, false, StepFailure::cantCreateFile},
                          {"not stored", false, true, StepFailure::cantCreateFile}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        host.events.clear();
        host.storeWorks = c.storeWorks;
        engine.beginJob();
        engine.startRead(0, 0x1000, true);
        block(3);
        engine.finishRead(c.durable);
        engine.finishRead(true);
        ticks(20);
        status(0);
        block(3);
        ASSERT_EQ(host.ends(), 1);
        EXPECT_EQ(host.lastEnd()->serial, engine.jobSerial());
        EXPECT_EQ(host.lastEnd()->failure, c.failure);
        EXPECT_EQ(host.progress(ProgressKind::ended), c.failure ? 0 : 1);
    }
}

TEST_F(EngineRig, ReadRetriesAfterSilenceAndBrokenBlocks)
{
    engine.beginJob();
    engine.startRead(0, 0x1000, true);
    // Nine silent ticks, then two quiet ones before the block is asked for again.
    ticks(9);
    EXPECT_EQ(host.frames.size(), 1u);
    ticks(2);
    EXPECT_EQ(host.frames.size(), 2u);
    for (int retry = 2; retry <= 10; ++retry)
        ticks(11);
    EXPECT_EQ(host.log, "Reading...\nTime out, retry...1,2,3,4,5,6,7,8,9,10");
    EXPECT_EQ(host.frames.size(), 11u); // the request and ten more
    ticks(9);
    EXPECT_EQ(host.lastEnd()->failure, StepFailure::timeOut);
    EXPECT_EQ(host.readsAbandoned, 1);

    // A wrong checksum is asked for again once the link is quiet, sixteen
    // times at most.
    host.log.clear();
    host.frames.clear();
    engine.beginJob();
    engine.startRead(0, 0x1000, true);
    for (int i = 0; i < 15; ++i)
    {
        block(7, 1, true);
        EXPECT_EQ(host.frames.size(), (size_t)i + 1);
        ticks(2);
    }
    EXPECT_EQ(host.frames.size(), 16u);
    block(7, 1, true);
    EXPECT_EQ(host.lastEnd()->failure, StepFailure::dataNotCorrect);
    EXPECT_NE(host.log.find("The read block's checksum is still wrong after 16 attempts."),
              std::string::npos);
}

// A block that grows too long (a repeated packet) is asked for again only
// after a whole tick without packets.
TEST_F(EngineRig, OvershootingBlockWaitsForQuietBeforeAskingAgain)
{
    engine.beginJob();
    engine.startRead(0, 0x1000, false);
    std::vector<juce::uint8> half(2100, 9);
    packet(half.data(), (int)half.size());
    packet(half.data(), (int)half.size()); // 4200 bytes: too many
    const auto requests = host.frames.size();
    ticks(1);
    packet(half.data(), 100); // still arriving: the quiet count starts again
    ticks(1);
    EXPECT_EQ(host.frames.size(), requests);
    ticks(1);
    EXPECT_EQ(host.frames.size(), requests + 1);
    EXPECT_EQ(host.command(requests), sysex::CmdSetAddress);
    std::vector<juce::uint8> good(sysex::kBlockSize, 3);
    packet(good.data(), (int)good.size());
    EXPECT_EQ(host.readsComplete, 1);
    EXPECT_EQ(host.stored, good);
}

TEST_F(EngineRig, UnexpectedRepliesAreCountedAndLoggedOncePerJob)
{
    for (int i = 0; i < 5; ++i)
        status(0);
    std::vector<juce::uint8> data(16, 1);
    packet(data.data(), (int)data.size());
    EXPECT_EQ(host.log, "Ignored an unexpected reply from the device.\n");
    EXPECT_TRUE(host.events.empty());
    engine.beginJob(); // the next job reports the count
    EXPECT_EQ(host.log, "Ignored an unexpected reply from the device.\n"
                        "Ignored 6 unexpected replies from the device in all.\n");
    EXPECT_EQ(engine.unexpectedReplies(), 6);
    EXPECT_EQ(engine.statusesSinceRead(), 5);
    EXPECT_EQ(engine.packetsSinceRead(), 1);
}

TEST_F(EngineRig, QuietWaitWaitsForTwoTicksWithoutDataAndCountsWhatArrived)
{
    engine.beginJob();
    engine.startQuietWait();
    EXPECT_EQ(host.tickPeriod, 40);
    ticks(1);
    status(0); // a status shifts no data: the wait goes on counting
    ticks(1);
    EXPECT_EQ(host.quietWaits, 1);
    engine.finishQuietWait();
    EXPECT_EQ(host.tickPeriod, 0);
    EXPECT_EQ(engine.statusesSinceRead(), 1);
    EXPECT_EQ(engine.packetsSinceRead(), 0);

    engine.beginJob();
    engine.startQuietWait();
    std::vector<juce::uint8> data(16, 1);
    ticks(1);
    packet(data.data(), (int)data.size()); // a packet starts the quiet over
    ticks(1);
    EXPECT_EQ(host.quietWaits, 1);
    ticks(1);
    EXPECT_EQ(host.quietWaits, 2);
    engine.finishQuietWait();
    EXPECT_EQ(engine.packetsSinceRead(), 1);

    // A flood never falls quiet; the wait still ends.
    engine.beginJob();
    engine.startQuietWait();
    for (int i = 0; i <= TransferEngine::kMaxSettleTicks; ++i)
    {
        packet(data.data(), (int)data.size());
        ticks(1);
    }
    EXPECT_EQ(host.quietWaits, 3);
}

// The identification's flash test: a verdict counts only with a quiet link
// before the request and after the answer, and a pass is asked for twice.
TEST_F(EngineRig, CarefulFlashTestTrustsOnlyAnswersWithNothingAround)
{
    auto careful = [&]
    {
        host.frames.clear();
        host.log.clear();
        engine.beginJob();
        engine.startTestFlash(0, true);
    };
    // The last job end's failure; none when the last job ended well (or none ended).
    auto outcome = [&] { return host.lastEnd() != nullptr ? host.lastEnd()->failure : std::nullopt; };
    const auto unclear = StepFailure::unclearReplies;

    // A late copy of the upload's status before the request: it waits.
    careful();
    EXPECT_TRUE(host.frames.empty());
    EXPECT_EQ(host.tickPeriod, 40);
    ticks(1);
    status(0);
    ticks(1);
    EXPECT_TRUE(host.frames.empty()) << "asked before the link was quiet";
    ticks(1);
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(host.command(0), sysex::CmdTestFlash);
    status(0);
    ticks(2);
    ASSERT_EQ(host.frames.size(), 2u); // the pass is asked for again
    status(0);
    const auto ended = host.events.size();
    ticks(2);
    ASSERT_GT(host.events.size(), ended);
    EXPECT_EQ(host.lastEnd()->failure, std::nullopt);
    EXPECT_NE(host.log.find("OK."), std::string::npos);
    EXPECT_EQ(host.tickPeriod, 0);

    // A fail is a fail when nothing follows it; asked once.
    careful();
    ticks(2);
    status(1);
    ticks(2);
    EXPECT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(outcome(), StepFailure::none);
    EXPECT_NE(host.log.find("Fail."), std::string::npos);

    // The real answer after one taken for it, a pass then a fail, a packet
    // after the answer: neither pass nor fail.
    for (int variant = 0; variant < 4; ++variant)
    {
        careful();
        ticks(2);
        status(0);
        if (variant == 0)
            status(1); // a copy taken for the verdict, then the real one
        ticks(variant == 1 ? 1 : 2);
        if (variant == 1)
        {
            std::vector<juce::uint8> data(16, 1);
            packet(data.data(), (int)data.size());
            ticks(2);
        }
        if (variant >= 2)
        {
            status(variant == 2 ? 1 : 0);
            if (variant == 3)
                status(0);
            ticks(2);
        }
        EXPECT_EQ(outcome(), unclear) << "variant " << variant;
        EXPECT_NE(host.log.find("Unclear."), std::string::npos) << "variant " << variant;
    }

    // A link that never falls quiet: no request at all, and an end.
    careful();
    for (int i = 0; i < 40; ++i)
    {
        status(0);
        ticks(1);
    }
    EXPECT_TRUE(host.frames.empty());
    EXPECT_EQ(outcome(), unclear);
    EXPECT_NE(host.log.find("The link never fell quiet around the flash test."), std::string::npos);
}

// A block that arrives with one packet too many (a repeated packet) costs one
// attempt: the block is asked for again only after the rest of the broken
// attempt has arrived, so the next attempt starts aligned.
TEST_F(EngineRig, ARepeatedPacketCostsOneRetryWhateverThePacketSize)
{
    for (const int packetBytes : {100, 512})
    {
        host.frames.clear();
        host.stored.clear();
        engine.beginJob();
        engine.startRead(0, 0x1000, true);
        std::vector<juce::uint8> blockData(sysex::kBlockSize);
        for (size_t i = 0; i < blockData.size(); ++i)
            blockData[i] = (juce::uint8)(i * 7);
        auto good = blockData;
        good.resize(sysex::kChecksummedBlockSize);
        sysex::blockChecksum(blockData.data(), good.data() + sysex::kBlockSize);
        auto send = [&](int from)
        {
            const int n = juce::jmin(packetBytes, (int)good.size() - from);
            packet(good.data() + from, n);
        };
        // Packet 0 twice, then the rest: the block overflows or fails its check.
        send(0);
        send(0);
        for (int at = packetBytes; at < (int)good.size(); at += packetBytes)
            send(at);
        const auto requests = [&]
        {
            int n = 0;
            for (auto& f : host.frames)
                n += f.at(5) == sysex::CmdSetAddress;
            return n;
        };
        EXPECT_EQ(requests(), 1) << packetBytes << ": asked again before the link was quiet";
        // The remnant of the attempt, still arriving, is dropped.
        if (packetBytes < (int)good.size())
            send((int)good.size() - packetBytes);
        ticks(2);
        EXPECT_EQ(requests(), 2) << packetBytes;
        for (int at = 0; at < (int)good.size(); at += packetBytes)
            send(at);
        EXPECT_EQ(host.readsComplete, 1) << packetBytes;
        EXPECT_EQ(host.stored, blockData) << packetBytes;
        host.readsComplete = 0;
        engine.endJobSilently();
    }
}
