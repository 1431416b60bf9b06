// The device link takes one reply per request: repeated, stray and flooding
// replies from the instrument must not end a job, start the next one, advance
// a transfer or hide a silent instrument.
#include "EngineFixture.h"
#include "device/DriverImages.h"

using namespace testing_support;

namespace
{
using Replies = EngineFixture;

const juce::uint8 kStatus0[] = {0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x00, 0xF7};
const char* const kIgnoredLine = "Ignored an unexpected reply from the device.\n";

size_t occurrences(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// A data packet of 7 bytes of 0x55 that nobody asked for.
std::vector<juce::uint8> strayPacket()
{
    return {0xF0, 0x00, 0x20, 0x54, 0x7D, 0x01, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x00, 0xF7};
}
} // namespace

// Pairing takes 3 identify requests and the driver upload 2 messages, so the
// job after the upload starts at message 6.
TEST_F(Replies, RepeatedStatusAtTheEndOfAJobEndsItOnce)
{
    connect("dup_status_at=5");
    const auto d = deviceimages::builtInDrivers()[2];
    queue->add(jobs::SendDriver{d.image, d.length, d.flashName, 0, 100});
    queue->add(jobs::TestFlash{d.mcuName, d.flashName, d.image, d.length});
    const auto outcome = runQueue();
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(recorder.count<EvStepDone>(), 2);
    EXPECT_EQ(occurrences(log(), kIgnoredLine), 1u) << log();
    EXPECT_EQ(link().unexpectedReplyCount(), 1);
}

TEST_F(Replies, RepeatedStatusInsideATransferStillWritesEverything)
{
    // Message 6 is the set-address header, 7 the first block: its status comes three times.
    connect("dup_status_burst=7:2");
    uploadDriverFor("S29GL512_S");
    std::memset(flash() + 0x40000, 0xFF, 0x10000);
    queue->add(jobs::ProgramFromBuffer{deviceimages::interimImage(), 0x40000, 0x10000, 0, 100});
    const auto outcome = runQueue();
    EXPECT_TRUE(outcome.ok) << log();
    EXPECT_EQ(recorder.count<EvStepDone>(), 1);
    EXPECT_EQ(0, std::memcmp(flash() + 0x40000, deviceimages::interimImage(), 0x10000));
    // The statuses the early end left unanswered arrive with nothing awaited.
    EXPECT_EQ(link().unexpectedReplyCount(), 2);
    EXPECT_EQ(occurrences(log(), kIgnoredLine), 1u) << log();
}

TEST_F(Replies, StraysWhileIdleChangeNothingAndAreCountedOnce)
{
    connect("");
    uploadDriverFor("S29GL512_S");
    const int state = link().getState();
    for (int i = 0; i < 500; ++i)
        piano->piano(0).sendStrayStatus();
    const auto packet = strayPacket();
    link().handleIncomingMidiMessage(nullptr, packet.data(), (int)packet.size());
    pump(2);
    EXPECT_EQ(link().unexpectedReplyCount(), 501);
    EXPECT_EQ(recorder.codes(), std::vector<size_t>{}); // no event at all
    EXPECT_EQ(log(), kIgnoredLine);
    EXPECT_EQ(link().getState(), state);

    // The next job reports the count of the idle time, then runs as usual.
    recorder.clear();
    queue->add(jobs::ReadToFile{file("r.bin").getFullPathName(), 0, 0x1F000, 0x2000, 0, 100});
    EXPECT_TRUE(runQueue().ok);
    EXPECT_EQ(log().rfind("Ignored 501 unexpected replies from the device in all.\n", 0), 0u) << log();
}

TEST_F(Replies, ForeignPacketOutsideAReadIsIgnored)
{
    // Message 6 is the set-address header, 7 the first block: a data packet follows its status.
    connect("stray_packet_at=7");
    uploadDriverFor("S29GL512_S");
    std::memset(flash() + 0x40000, 0xFF, 0x2000);
    queue->add(jobs::ProgramFromBuffer{deviceimages::interimImage(), 0x40000, 0x2000, 0, 100});
    EXPECT_TRUE(runQueue().ok);
    EXPECT_EQ(0, std::memcmp(flash() + 0x40000, deviceimages::interimImage(), 0x2000));
    EXPECT_EQ(link().unexpectedReplyCount(), 1);
}

// Strays do not count as signs of life: a silent instrument still times out.
TEST_F(Replies, StraysDoNotHideASilentInstrument)
{
    connect("silent_after=7");
    uploadDriverFor("S29GL512_S");
    queue->add(jobs::ReadToFile{file("r.bin").getFullPathName(), 0, 0, 0x8000, 0, 100});
    queue->runNext();
    piano->pump();
    const auto packet = strayPacket();
    for (int tick = 0; tick < 200 && link().getState() == Communication::Reading; ++tick)
    {
        // A status while a read block is awaited answers nothing.
        link().handleIncomingMidiMessage(nullptr, kStatus0, sizeof(kStatus0));
        link().timerCallback();
    }
    pump(2);
    EXPECT_EQ(link().getState(), Communication::Idle);
    ASSERT_NE(recorder.last<EvStepDone>(), nullptr);
    EXPECT_EQ(recorder.last<EvStepDone>()->failure, StepFailure::timeOut);
    EXPECT_NE(log().find("Time out, retry...1,2,3,4,5,6,7,8,9,10The device has no response.\n"),
              std::string::npos)
        << log();
}

// On a link without checksums a repeated or foreign packet inside a block is
// seen only as a block that grows too long: it is fetched again, never saved.
TEST_F(Replies, ForeignPacketInsideABlockWithoutChecksumIsFetchedAgain)
{
    connect("speed=high,packet=512");
    uploadDriverFor("S29GL512_S");
    const auto readFile = file("r.bin");
    link().readToFile(readFile.getFullPathName(), 0, 0x40000, 0x2000, 0, 100);
    const auto packet = strayPacket();
    link().handleIncomingMidiMessage(nullptr, packet.data(), (int)packet.size());
    for (int tick = 0; tick < 50 && recorder.count<EvStepDone>() == 0; ++tick)
    {
        piano->pump();
        pump(1);
        link().timerCallback();
    }
    ASSERT_EQ(jobsEndedWell(), 1) << log();
    juce::MemoryBlock data;
    readFile.loadFileAsData(data);
    ASSERT_EQ(data.getSize(), 0x2000u);
    EXPECT_EQ(0, std::memcmp(data.getData(), flash() + 0x40000, 0x2000));
    EXPECT_NE(log().find("Reading...\n."), std::string::npos) << log();
}

// A repeated packet of a full-speed read spoils one block, which is fetched again.
TEST_F(Replies, RepeatedPacketIsFetchedAgain)
{
    connect("dup_status_at=8,packet=512"); // 6: read request, 7 and 8: acknowledgements
    uploadDriverFor("S29GL512_S");
    const auto readFile = file("r.bin");
    queue->add(jobs::ReadToFile{readFile.getFullPathName(), 0, 0x40000, 0x3000, 0, 100});
    ASSERT_TRUE(runQueue().ok) << log();
    juce::MemoryBlock data;
    readFile.loadFileAsData(data);
    ASSERT_EQ(data.getSize(), 0x3000u);
    EXPECT_EQ(0, std::memcmp(data.getData(), flash() + 0x40000, 0x3000));
}

// Progress is a stream of absolute values: when the receiver falls behind,
// only a few stay queued, and the job's end is never lost.
TEST_F(Replies, ProgressPostsInFlightAreBounded)
{
    connect("");
    uploadDriverFor("S29GL512_S");
    std::memset(flash() + 0x40000, 0xFF, 0x10000);
    link().programBuffer(deviceimages::interimImage(), 0, 0x40000, 0x10000, 0, 100);
    piano->pump(); // the whole transfer, with the message thread busy elsewhere
    pump(2);
    const int updates = recorder.count<EvProgress>(
        [](const EvProgress& p)
        {
            return p.kind == ProgressKind::erase || p.kind == ProgressKind::transfer ||
                   p.kind == ProgressKind::read;
        });
    EXPECT_LE(updates, Communication::kMaxProgressInFlight);
    EXPECT_EQ(jobsEndedWell(), 1);
}

// Each job's end carries its own serial; the queue takes it once, and a
// step-done of an earlier job or of none is refused.
TEST_F(Replies, QueueAcceptsEachJobsEndOnce)
{
    connect("");
    EXPECT_FALSE(queue->acceptStepDone(0)); // nothing runs
    const auto lock = file("x.lock").getFullPathName();
    queue->add(jobs::LockFile{lock, LockMode::none});
    queue->add(jobs::LockFile{lock, LockMode::none});
    queue->runNext();
    const int first = link().currentJobSerial();
    EXPECT_TRUE(queue->acceptStepDone(first));
    EXPECT_FALSE(queue->acceptStepDone(first));
    queue->runNext();
    EXPECT_FALSE(queue->acceptStepDone(first));
    EXPECT_TRUE(queue->acceptStepDone(first + 1));
    EXPECT_TRUE(queue->runNext()); // the list is done
    EXPECT_FALSE(queue->acceptStepDone(first + 1));
    pump(2);
    EXPECT_EQ(recorder.last<EvStepDone>()->serial, first + 1);
}
