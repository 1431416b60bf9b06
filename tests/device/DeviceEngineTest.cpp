#include "EngineFixture.h"
#include "core/SysexTrace.h"
#include "device/DriverImages.h"
#include "device/FlashLayout.h"
#include "update/ImageBuilder.h"
#include "update/UpdateImage.h"
#include "virtual-piano/TcpPianoServer.h"
#include <csignal>
#if JUCE_LINUX
#include <sys/resource.h>
#endif

using namespace testing_support;

namespace
{
using Engine = EngineFixture;

bool flashEquals(const juce::uint8* flash, juce::int64 at, const juce::MemoryBlock& data, size_t from = 0,
                 size_t count = SIZE_MAX)
{
    count = std::min(count, data.getSize() - from);
    return std::memcmp(flash + at, static_cast<const juce::uint8*>(data.getData()) + from, count) == 0;
}

bool allBytes(const juce::uint8* p, size_t n, juce::uint8 v)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != v)
            return false;
    return true;
}
} // namespace

// ---- queue ---------------------------------------------------------------------

TEST_F(Engine, EmptyQueueRunsNothing)
{
    connect("");
    EXPECT_TRUE(queue->runNext());
    EXPECT_EQ(queue->current(), nullptr);
    queue->add(jobs::SaveIoStatus{});
    queue->add(jobs::SendDriver{nullptr, 0, "x", 0, 1});
    EXPECT_FALSE(queue->nextIsDriverUpload());
    queue->clearQueue();
    EXPECT_EQ(queue->size(), 0u);
    EXPECT_EQ(queue->current(), nullptr);
}

// ---- identification --------------------------------------------------------------

class Identification : public Engine, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(Identification, FindsTheModelAndNeverTriesLaterOnes)
{
    const juce::String model = GetParam();
    connect("flash=" + model);
    EXPECT_EQ(identify(), model);
    const auto uploaded =
        piano->piano(0).withPiano([](vp::VirtualPiano& p) { return p.uploadedDriverNames(); });
    const juce::StringArray order{"S29GL128_S", "S29GL256_S", "S29GL512_S", "S29GL01G_S"};
    const int index = order.indexOf(model);
    ASSERT_EQ(uploaded.size(), index + 1);
    for (int i = 0; i <= index; ++i)
        EXPECT_EQ(uploaded[i], order[i]);

    juce::String expected;
    for (int i = 0; i < index; ++i)
        expected << "Sending flash driver for \"" << order[i] << "\"...\nSend driver OK!\nTesting flash \""
                 << order[i] << "\"...Fail.\n";
    expected << "Sending flash driver for \"" << model << "\"...\nSend driver OK!\nTesting flash \"" << model
             << "\"...OK.\n";
    EXPECT_EQ(log(), expected.toStdString());
    EXPECT_EQ(jobsFailed(), index); // one per failed test
    EXPECT_EQ(link().getSectorTable().size(), (size_t)vp::sectorCountOfModel(model));

    // The silence timer stopped with the test: no late time-out.
    for (int i = 0; i < 30; ++i)
        link().timerCallback();
    pump(1);
    EXPECT_EQ(log().find("no response"), std::string::npos);
    EXPECT_EQ(link().currentTickPeriod(), 0);
}

INSTANTIATE_TEST_SUITE_P(AllModels, Identification,
                         ::testing::Values("S29GL128_S", "S29GL256_S", "S29GL512_S", "S29GL01G_S"));

TEST_F(Engine, DriverWithoutSectorsEndsTheStepAndBlocksFlashWork)
{
    connect("");
    std::vector<juce::uint8> bad(4096, 0xFF);
    std::memset(bad.data() + 16, 0, 8); // first record's count is 0
    queue->add(jobs::SendDriver{bad.data(), 4096, "Broken", 0, 100});
    const auto outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::none);
    EXPECT_EQ(log(), "Flash infomation is not correct.");
    EXPECT_EQ(jobsFailed(), 1);
    EXPECT_FALSE(link().hasSectorTable());

    recorder.clear();
    queue->clearQueue();
    queue->add(jobs::ReadToFile{file("r.bin").getFullPathName(), 0, 0, 0x1000, 0, 100});
    EXPECT_FALSE(runQueue().ok);
    EXPECT_EQ(log(), "Flash infomation is not correct.\n");
    EXPECT_FALSE(file("r.bin").exists());
}

TEST_F(Engine, StatusOneStillCompletesADriverUpload)
{
    connect("status3_at=-1");
    // The piano refuses nothing in an upload; fake a status 1 by answering ourselves.
    const auto d = deviceimages::builtInDrivers()[0];
    link().sendFlashDriver(d.image, d.length, d.flashName, 0, 100);
    const juce::uint8 status1[] = {0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x01, 0xF7};
    link().handleIncomingMidiMessage(nullptr, status1, sizeof(status1));
    pump(1);
    EXPECT_NE(log().find("Send driver OK!\n"), std::string::npos);
    EXPECT_EQ(jobsEndedWell(), 1);
}

// ---- erase -----------------------------------------------------------------------

TEST_F(Engine, EraseGrowsToSectorBoundsAndLogsTheLength)
{
    connect("flash=S29GL128_S");
    uploadDriverFor("S29GL128_S");
    auto data = patternBlock(0x30010, 1);
    const auto f = writeFile("big.bin", data);
    std::memset(flash(), 0x00, 0x60000);
    queue->add(jobs::EraseFromFile{f.getFullPathName(), 0, 0, 0x20000, 0x10, 0, 100});
    const auto outcome = runQueue();
    ASSERT_TRUE(outcome.ok) << log();
    EXPECT_NE(log().find("Program length is set to 20000h bytes.\n"), std::string::npos) << log();
    EXPECT_NE(log().find("Erasing ...\n"), std::string::npos);
    EXPECT_NE(log().find("Erase finished, time:00:00:"), std::string::npos);
    EXPECT_TRUE(allBytes(flash(), 0x20000, 0x00));
    EXPECT_TRUE(allBytes(flash() + 0x20000, 0x20000, 0xFF));
    EXPECT_TRUE(allBytes(flash() + 0x40000, 0x20000, 0x00));
    // Progress: sector 0 of 1, then the end of the range.
    EXPECT_EQ(progressEvents(ProgressKind::erase, 0), 2); // (1,0,1) at the start and (1,0,1) for the sector
    EXPECT_EQ(progressEvents(ProgressKind::share), 1);
}

TEST_F(Engine, EraseRefusesAnOffsetInsideASectorAndOffsetsPastTheData)
{
    connect("flash=S29GL128_S");
    uploadDriverFor("S29GL128_S");
    const auto f = writeFile("small.bin", patternBlock(0x1000, 2));
    queue->add(jobs::EraseFromFile{f.getFullPathName(), 0, 0, 0x10000, 0, 0, 100});
    auto outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(log(), "Flash offset must at the start of one sector!\n");
    EXPECT_EQ(jobsFailed(), 1);

    recorder.clear();
    queue->clearQueue();
    queue->add(jobs::EraseFromFile{f.getFullPathName(), 0, 0x1000, 0, 0, 0, 100});
    outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::none);
    EXPECT_EQ(log(), "File offset is beyond the end of the data.\n");

    recorder.clear();
    queue->clearQueue();
    queue->add(jobs::EraseFromFile{{}, 0, 0, 0, 0, 0, 100});
    EXPECT_FALSE(runQueue().ok);
    EXPECT_EQ(log(), "Please select a file to write first\n");

    recorder.clear();
    queue->clearQueue();
    queue->add(jobs::EraseFromFile{file("missing.bin").getFullPathName(), 0, 0, 0, 0, 0, 100});
    EXPECT_FALSE(runQueue().ok);
    EXPECT_EQ(log(), "Can't open file to program.\n");
}

TEST_F(Engine, EraseOnTheSecondChipSelectIsCutAtTheEndOfTheFlash)
{
    connect("flash=S29GL512_S,cs=1");
    uploadDriverFor("S29GL512_S");
    const auto f = writeFile("tail.bin", patternBlock(0x200000, 3));
    std::memset(flash() + 0x3E00000, 0x00, 0x200000);
    queue->add(jobs::EraseFromFile{f.getFullPathName(), 0x400, 0, 0x3F00000, 0, 0, 100});
    const auto outcome = runQueue();
    ASSERT_TRUE(outcome.ok) << log();
    EXPECT_EQ(log().rfind("Program length is larger than the flash size.\nProgram length is set to 100000h "
                          "bytes.\nErasing ...\n",
                          0),
              0u)
        << log();
    EXPECT_TRUE(allBytes(flash() + 0x3E00000, 0x100000, 0x00));
    EXPECT_TRUE(allBytes(flash() + 0x3F00000, 0x100000, 0xFF));
}

TEST_F(Engine, BufferEraseClearsExactlyTheDataRegion)
{
    connect("");
    uploadDriverFor("S29GL512_S");
    link().setWordAddressing(true); // never applies to the buffer jobs
    std::memset(flash(), 0x00, 0x80000);
    queue->add(jobs::EraseForBuffer{region::data.start, region::data.length, 9, 18});
    ASSERT_TRUE(runQueue().ok) << log();
    EXPECT_TRUE(allBytes(flash(), 0x40000, 0x00));
    EXPECT_TRUE(allBytes(flash() + 0x40000, 0x20000, 0xFF));
    EXPECT_TRUE(allBytes(flash() + 0x60000, 0x20000, 0x00));
    const auto* share = recorder.last<EvProgress>();
    ASSERT_NE(share, nullptr);
    EXPECT_EQ(progressEvents(ProgressKind::share, 90), 1);
}

// ---- program ---------------------------------------------------------------------

TEST_F(Engine, ProgramFromFileWithOffsetsAndAPartialLastBlock)
{
    connect("");
    uploadDriverFor("S29GL512_S");
    const auto data = patternBlock(0x30000, 4);
    const auto f = writeFile("img.bin", data);
    std::memset(flash(), 0xFF, 0x100000);
    const int before = piano->piano(0).withPiano([](vp::VirtualPiano& p) { return p.messagesReceived(); });
    queue->add(jobs::ProgramFromFile{f.getFullPathName(), 0, 0x10000, 0x20000, 0, 37, 46});
    ASSERT_TRUE(runQueue().ok) << log();
    const int after = piano->piano(0).withPiano([](vp::VirtualPiano& p) { return p.messagesReceived(); });
    EXPECT_EQ(after - before, 33); // the header and 32 blocks
    EXPECT_TRUE(flashEquals(flash(), 0x20000, data, 0x10000));
    EXPECT_NE(log().find("Program finished, time:"), std::string::npos);
    EXPECT_NE(log().find("Total time:"), std::string::npos);
    EXPECT_NE(log().find("Program OK.\n"), std::string::npos);

    // 5000 bytes: two blocks, the second padded with 0xFF.
    recorder.clear();
    queue->clearQueue();
    const auto odd = patternBlock(5000, 5);
    const auto g = writeFile("odd.bin", odd);
    queue->add(jobs::ProgramFromFile{g.getFullPathName(), 0, 0, 0x80000, 0, 0, 100});
    ASSERT_TRUE(runQueue().ok);
    EXPECT_TRUE(flashEquals(flash(), 0x80000, odd));
    EXPECT_TRUE(allBytes(flash() + 0x80000 + 5000, 8192 - 5000, 0xFF));
    EXPECT_EQ(progressEvents(ProgressKind::transfer, 4096), 1);
    EXPECT_EQ(progressEvents(ProgressKind::transfer, 8192), 1);
    EXPECT_EQ(recorder.last<EvProgress>()->kind, ProgressKind::ended); // closes the transfer
}

TEST_F(Engine, ProgrammingOverUnerasedDataIsCaughtByTheCompare)
{
    connect("");
    uploadDriverFor("S29GL512_S");
    const auto data = patternBlock(0x20000, 6);
    const auto f = writeFile("img.bin", data);
    std::memset(flash(), 0x5A, 0x20000); // not erased
    queue->add(jobs::ProgramFromFile{f.getFullPathName(), 0, 0, 0, 0, 0, 50});
    queue->add(jobs::ReadToFile{file("back.bin").getFullPathName(), 0, 0, 0x20000, 50, 100});
    queue->add(jobs::CompareFiles{f.getFullPathName(), 0, file("back.bin").getFullPathName()});
    const auto outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::dataNotCorrect);
    EXPECT_NE(log().find("Start comparing...\n\nFAIL!\n"), std::string::npos) << log();
    // NOR: only bits that were 1 could be cleared.
    const auto* d = static_cast<const juce::uint8*>(data.getData());
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(flash()[i], d[i] & 0x5A);
}

TEST_F(Engine, ProgramFromMemoryIsSupervised)
{
    connect("");
    uploadDriverFor("S29GL512_S");
    std::memset(flash() + 0x40000, 0xFF, 0x10000);
    queue->add(jobs::ProgramFromBuffer{deviceimages::interimImage(), 0x40000, 0x10000, 18, 25});
    ASSERT_TRUE(runQueue().ok);
    EXPECT_EQ(0, std::memcmp(flash() + 0x40000, deviceimages::interimImage(), 0x10000));
    EXPECT_EQ(jobsEndedWell(), 1);
}

TEST_F(Engine, SilenceWhileProgrammingFromMemoryTimesOut)
{
    // Pairing takes 3 identify messages, the driver upload 2 more.
    connect("silent_after=7");
    uploadDriverFor("S29GL512_S");
    queue->add(jobs::ProgramFromBuffer{deviceimages::interimImage(), 0x40000, 0x10000, 18, 25});
    const auto outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::timeOut);
    EXPECT_NE(log().find("The device has no response.\n"), std::string::npos);
    EXPECT_EQ(jobsFailed(), 1);
}

TEST_F(Engine, InstrumentStatusTwoAndThree)
{
    // Status 2: the instrument's own flash operation timed out.
    connect("status2_at=6"); // pairing: 3 identify requests; driver: 2 messages
    uploadDriverFor("S29GL512_S");
    queue->add(jobs::EraseForBuffer{region::data.start, region::data.length, 0, 100});
    auto outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::timeOut);
    EXPECT_EQ(log(), "Erasing ...\nTimer out when operating the flash.\n");
    EXPECT_EQ(jobsFailed(), 1);
}

TEST_F(Engine, StatusThreeWhileProgrammingIsATimeOut)
{
    connect("status3_at=7"); // the set-address header is 6, the block 7
    uploadDriverFor("S29GL512_S");
    queue->add(jobs::ProgramFromBuffer{deviceimages::zeroPage(), 0xF000, 0x1000, 0, 100});
    const auto outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::timeOut);
    EXPECT_EQ(log(), "The device has no response.\n");
}

TEST_F(Engine, RefusedFlashWorkIsAFailureNotASuccess)
{
    connect("flash=S29GL128_S");
    uploadDriverFor("S29GL128_S");
    // Past the end of a 16 MiB chip the instrument refuses the block.
    queue->add(jobs::ProgramFromBuffer{deviceimages::zeroPage(), 0x1000000, 0x1000, 0, 100});
    const auto outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::flashOperationFailed);
    EXPECT_EQ(log(), "Flash operation failed (status 1).\n");
}

// ---- read ------------------------------------------------------------------------

class ReadModes : public Engine, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(ReadModes, ReadsExactlyWhatTheFlashHolds)
{
    connect(GetParam());
    uploadDriverFor("S29GL512_S");
    const auto data = patternBlock(0x3000 + 123, 7);
    std::memcpy(flash() + 0x1F000, data.getData(), data.getSize());
    const auto out = file("read.bin");
    queue->add(jobs::ReadToFile{out.getFullPathName(), 0, 0x1F000, (juce::int64)data.getSize(), 0, 100});
    ASSERT_TRUE(runQueue().ok) << log();
    juce::MemoryBlock back;
    ASSERT_TRUE(out.loadFileAsData(back));
    EXPECT_EQ(back, data);
    EXPECT_EQ(log().rfind("Reading...\nRead finished, read time:", 0), 0u) << log();
    EXPECT_NE(log().find("Read OK.\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Links, ReadModes,
                         ::testing::Values("speed=full,packet=256", "speed=full,packet=259",
                                           "speed=high,packet=256", "speed=high,packet=7",
                                           "speed=full,packet=4100,noack=1", "speed=full,packet=100,noack=1",
                                           "modebyte=0,packet=1000"));

TEST_F(Engine, BadChecksumIsFetchedAgain)
{
    connect("corrupt_block=1");
    uploadDriverFor("S29GL512_S");
    const auto data = patternBlock(0x4000, 8);
    std::memcpy(flash(), data.getData(), data.getSize());
    queue->add(jobs::ReadToFile{file("r.bin").getFullPathName(), 0, 0, 0x4000, 0, 100});
    ASSERT_TRUE(runQueue().ok);
    EXPECT_EQ(log().rfind("Reading...\n.Read finished", 0), 0u) << log();
    juce::MemoryBlock back;
    file("r.bin").loadFileAsData(back);
    EXPECT_EQ(back, data);
}

TEST_F(Engine, AlwaysBadChecksumEndsTheReadAfterSixteenAttempts)
{
    connect("corrupt_block=2,corrupt_always=1");
    uploadDriverFor("S29GL512_S");
    queue->add(jobs::ReadToFile{file("r.bin").getFullPathName(), 0, 0, 0x8000, 0, 100});
    const auto outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::dataNotCorrect);
    EXPECT_EQ(log(), "Reading...\n" + std::string(16, '.') +
                         "\nThe read block's checksum is still wrong after 16 attempts.\n")
        << log();
    EXPECT_EQ(jobsFailed(), 1);
}

TEST_F(Engine, TenRetriesThenTheReadEnds)
{
    connect("silent_after=8");
    uploadDriverFor("S29GL512_S");
    queue->add(jobs::ReadToFile{file("r.bin").getFullPathName(), 0, 0, 0x8000, 0, 100});
    const auto outcome = runQueue(200);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::timeOut);
    EXPECT_NE(log().find("Reading...\nTime out, retry...1,2,3,4,5,6,7,8,9,10The device has no response.\n"),
              std::string::npos)
        << log();
    EXPECT_EQ(jobsFailed(), 1);
}

TEST_F(Engine, WordAddressingDoublesFileOperationsOnly)
{
    connect("");
    uploadDriverFor("S29GL512_S");
    const auto data = patternBlock(0x4000, 9);
    std::memcpy(flash(), data.getData(), data.getSize());
    link().setWordAddressing(true);
    queue->add(jobs::ReadToFile{file("w.bin").getFullPathName(), 0, 0x800, 0x1000, 0, 100});
    queue->add(jobs::CompareFiles{file("w.bin").getFullPathName(), 0, file("w.bin").getFullPathName()});
    ASSERT_TRUE(runQueue().ok) << log();
    juce::MemoryBlock back;
    file("w.bin").loadFileAsData(back);
    ASSERT_EQ(back.getSize(), 0x2000u);
    EXPECT_EQ(0, std::memcmp(back.getData(), flash() + 0x1000, 0x2000));

    // Program from a file at word offsets: file 0x800 words, flash 0x10000 words.
    recorder.clear();
    queue->clearQueue();
    const auto img = patternBlock(0x3000, 10);
    const auto f = writeFile("img.bin", img);
    queue->add(jobs::EraseFromFile{f.getFullPathName(), 0, 0x800, 0x10000, 0x800, 0, 50});
    queue->add(jobs::ProgramFromFile{f.getFullPathName(), 0, 0x800, 0x10000, 0x800, 50, 100});
    ASSERT_TRUE(runQueue().ok) << log();
    EXPECT_TRUE(flashEquals(flash(), 0x20000, img, 0x1000, 0x1000));
}

TEST_F(Engine, ReadToEndOfFlashAndReadFailures)
{
    connect("flash=S29GL128_S");
    uploadDriverFor("S29GL128_S");
    queue->add(jobs::ReadToFile{file("end.bin").getFullPathName(), 0, 0x1000000 - 0x3000, 0, 0, 100});
    ASSERT_TRUE(runQueue().ok);
    EXPECT_EQ(file("end.bin").getSize(), 0x3000);

    recorder.clear();
    queue->clearQueue();
    queue->add(jobs::ReadToFile{{}, 0, 0, 0x1000, 0, 100});
    auto outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::cantCreateFile);
    EXPECT_EQ(log(), "Please select a file to save the data.\n");
    EXPECT_EQ(jobsFailed(), 1);

    recorder.clear();
    queue->clearQueue();
    queue->add(jobs::ReadToFile{file("no/such/folder/x.bin").getFullPathName(), 0, 0, 0x1000, 0, 100});
    outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::cantCreateFile);
    EXPECT_EQ(log(), "Can't create file to save.\n");
}

#if JUCE_LINUX
TEST_F(Engine, ReadThatCannotWriteItsFileFails)
{
    connect("");
    uploadDriverFor("S29GL512_S");
    // A file size limit stands in for a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 0x6000;
    setrlimit(RLIMIT_FSIZE, &small);
    queue->add(jobs::ReadToFile{file("full.bin").getFullPathName(), 0, 0, 0x20000, 0, 100});
    const auto outcome = runQueue();
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::cantCreateFile);
    EXPECT_NE(log().find("Can't create file to save.\n"), std::string::npos) << log();
    EXPECT_EQ(log().find("Read OK."), std::string::npos);
}
#endif

TEST_F(Engine, OversizedPacketsNeverWritePastTheBlock)
{
    connect("");
    uploadDriverFor("S29GL512_S");
    queue->add(jobs::ReadToFile{file("r.bin").getFullPathName(), 0, 0, 0x1000, 0, 100});
    queue->runNext();
    // A hostile packet of 20000 payload bytes arrives instead of the block.
    std::vector<juce::uint8> packet{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x01, 0x01};
    packet.resize(7 + 20000, 0x7F);
    packet.push_back(0xF7);
    link().handleIncomingMidiMessage(nullptr, packet.data(), (int)packet.size());
    pump(1);
    EXPECT_EQ(recorder.count<EvStepDone>(), 0); // never complete: fetched again after the time-out
    // The real block then arrives and the read completes.
    const auto outcome = runQueue();
    EXPECT_TRUE(outcome.ok) << log();
}

// ---- compare, version, lock -----------------------------------------------------

TEST_F(Engine, CompareResults)
{
    connect("");
    auto same = patternBlock(20, 11);
    const auto readBack = writeFile("b.bin", same);
    same.setSize(16);
    const auto written = writeFile("a.bin", same);
    auto compare = [&](const juce::File& w, juce::int64 offset, const juce::File& r)
    {
        recorder.clear();
        queue->clearQueue();
        queue->add(jobs::CompareFiles{w.getFullPathName(), offset, r.getFullPathName()});
        return runQueue();
    };
    EXPECT_TRUE(compare(written, 0, readBack).ok);
    EXPECT_EQ(log(), "Start comparing...\n\nOK! (One file is longer.)\n");
    EXPECT_TRUE(std::holds_alternative<LogSetBold>(recorder.events[1]));

    EXPECT_TRUE(compare(readBack, 0, readBack).ok);
    EXPECT_EQ(log(), "Start comparing...\n\nOK!\n");

    auto other = same;
    static_cast<juce::uint8*>(other.getData())[15] ^= 1;
    const auto differs = writeFile("c.bin", other);
    auto outcome = compare(written, 0, differs);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::dataNotCorrect);
    EXPECT_EQ(log(), "Start comparing...\n\nFAIL!\n");

    // Offset into the written file; word addressing doubles it.
    const auto shifted =
        writeFile("d.bin", juce::MemoryBlock(static_cast<const char*>(same.getData()) + 4, 12));
    EXPECT_TRUE(compare(written, 4, shifted).ok);
    link().setWordAddressing(true);
    EXPECT_TRUE(compare(written, 2, shifted).ok);
    link().setWordAddressing(false);

    outcome = compare(written, 17, readBack);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(log(), "Start comparing...\nWrite file length < Source offset!\n");
    outcome = compare(file("none.bin"), 0, readBack);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::dataNotCorrect);
    EXPECT_EQ(log(), "Start comparing...\nCan't open source file.\n");
    EXPECT_EQ(jobsFailed(), 1);
}

TEST_F(Engine, LockFileModes)
{
    connect("");
    uploadDriverFor("S29GL512_S");
    const auto lock = file("orv_update.lock");
    const auto backup = file("orv_backup.tmp");
    queue->add(jobs::ReadToFile{backup.getFullPathName(), 0, 0x40000, 0x20000, 0, 100});
    queue->add(jobs::LockFile{lock.getFullPathName(), LockMode::create});
    ASSERT_TRUE(runQueue().ok);
    recorder.clear();
    EXPECT_EQ(lock.loadFileAsString(), "ORV backup lock!");
    EXPECT_EQ(lock.getSize(), 16);

    queue->clearQueue();
    queue->add(jobs::LockFile{lock.getFullPathName(), LockMode::none});
    queue->add(jobs::LockFile{lock.getFullPathName(), LockMode::remove});
    ASSERT_TRUE(runQueue().ok);
    EXPECT_FALSE(lock.exists());

    // Deleting a lock that is not there succeeds; a folder of that name is no lock.
    queue->clearQueue();
    queue->add(jobs::LockFile{lock.getFullPathName(), LockMode::remove});
    EXPECT_TRUE(runQueue().ok);
    lock.createDirectory();
    queue->clearQueue();
    queue->add(jobs::LockFile{lock.getFullPathName(), LockMode::create});
    auto outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::cantCreateLock);
    queue->clearQueue();
    queue->add(jobs::LockFile{lock.getFullPathName(), LockMode::remove});
    outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::cantDeleteLock);
    EXPECT_TRUE(lock.isDirectory());
    const auto refusal = "Refused " + lock.getFullPathName() + ": a folder\n";
    EXPECT_EQ(recorder.logUtf8(), (refusal + refusal).toStdString());
}

// The lock promises that the data region can be restored from the backup, so
// it is created only over a backup this link has just read whole and synced.
TEST_F(Engine, LockIsRefusedWithoutACompleteBackup)
{
    connect("");
    uploadDriverFor("S29GL512_S");
    const auto lock = file("orv_update.lock");
    const auto backup = file("orv_backup.tmp");
    auto createLock = [&]
    {
        recorder.clear();
        queue->clearQueue();
        queue->add(jobs::LockFile{lock.getFullPathName(), LockMode::create});
        return runQueue();
    };
    auto readBackup = [&](juce::int64 size)
    {
        queue->clearQueue();
        queue->add(jobs::ReadToFile{backup.getFullPathName(), 0, 0x40000, size, 0, 100});
        ASSERT_TRUE(runQueue().ok);
    };

    // No backup at all (its read was skipped).
    auto outcome = createLock();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::backupNotTrusted);
    EXPECT_NE(log().find("The backup of the data region is missing or incomplete.\n"), std::string::npos);
    EXPECT_FALSE(lock.exists());

    // A backup of the right size left by someone else (an earlier update).
    backup.replaceWithData(patternBlock(0x20000, 3).getData(), 0x20000);
    EXPECT_EQ(createLock().reason, StepFailure::backupNotTrusted);
    EXPECT_FALSE(lock.exists());

    // A read of the wrong length; a whole read cut short afterwards; a whole
    // read followed by another read.
    readBackup(0x1F000);
    EXPECT_EQ(createLock().reason, StepFailure::backupNotTrusted);
    readBackup(0x20000);
    ASSERT_TRUE(backup.getSize() == 0x20000);
    {
        juce::FileOutputStream out(backup);
        out.setPosition(0x1000);
        out.truncate();
    }
    EXPECT_EQ(createLock().reason, StepFailure::backupNotTrusted);
    readBackup(0x20000);
    queue->clearQueue();
    queue->add(jobs::ReadToFile{file("other.bin").getFullPathName(), 0, 0, 0x1000, 0, 100});
    ASSERT_TRUE(runQueue().ok);
    EXPECT_EQ(createLock().reason, StepFailure::backupNotTrusted);
    EXPECT_FALSE(lock.exists());

    readBackup(0x20000);
    EXPECT_TRUE(createLock().ok);
    EXPECT_TRUE(lock.existsAsFile());
}

TEST_F(Engine, VersionIsReadFromTheVersionArea)
{
    connect("version=V9.87.65,product=Tessaro");
    uploadDriverFor("S29GL512_S");
    const auto path = file("orv_read_version.bin").getFullPathName();
    queue->add(jobs::ReadToFile{path, 0, 0x1F000, 0x2000, 0, 100});
    queue->add(jobs::ReadVersion{path});
    std::u16string version, product;
    recorder.onEvent = nullptr;
    ASSERT_FALSE(queue->runNext());
    ASSERT_TRUE(pumpUntil(
        [&]
        {
            piano->pump();
            return recorder.count<EvStepDone>() == 1;
        }));
    ASSERT_FALSE(queue->runNext());
    pump(2);
    // The recorder drops the payload; read it the same way the handler does.
    auto block = readVersionBlock(path, image::kMarkerOffsetInVersionRead);
    EXPECT_EQ(versionBlockText(block.get()), "V9.87.65");
    EXPECT_EQ(versionBlockText(block.get(), image::kProductNameIndex), "Tessaro");
    EXPECT_EQ(recorder.count<EvVersionRead>(), 1);
}

// ---- whole images, threads and TCP ----------------------------------------------------

namespace
{
void queueWholeImage(OperationQueue& q, const juce::File& image, const juce::File& readBack)
{
    q.add(jobs::EraseFromFile{image.getFullPathName(), 0, 0, 0, 0, 0, 30});
    q.add(jobs::ProgramFromFile{image.getFullPathName(), 0, 0, 0, 0, 30, 70});
    q.add(jobs::ReadToFile{readBack.getFullPathName(), 0, 0, 0x40000, 70, 100});
    q.add(jobs::CompareFiles{image.getFullPathName(), 0, readBack.getFullPathName()});
}
} // namespace

TEST_F(Engine, WholeImageInProcessWithTheInputThread)
{
    connectThreaded("flash=S29GL256_S,packet=512");
    image::ImageSpec rom;
    rom.fill = "random:77";
    const auto img = writeFile("update.rom", image::buildUpdateImage(rom));
    ASSERT_EQ(identify(), "S29GL256_S");
    recorder.clear();
    queueWholeImage(*queue, img, file("back.bin"));
    const auto started = juce::Time::getMillisecondCounterHiRes();
    const auto outcome = runQueue();
    const auto ms = juce::Time::getMillisecondCounterHiRes() - started;
    ASSERT_TRUE(outcome.ok) << log();
    EXPECT_NE(log().find("\nOK!\n"), std::string::npos);
    // 64 blocks programmed, 64 read: figures for the record, not a test of speed.
    std::printf("[ figures  ] whole 256 KiB image in-process: %.1f ms, %.0f blocks/s\n", ms,
                128 / (ms / 1000.0));
    EXPECT_EQ(0, std::memcmp(flash(), image::buildUpdateImage(rom).getData(), 0x40000));
}

// The trace holds the whole exchange both ways, from the input thread too:
// identify requests and replies, and each read block as one shortened line.
TEST_F(Engine, TraceRecordsTheExchangeBothWays)
{
    connectThreaded("flash=S29GL256_S,packet=512");
    SysexTrace trace(file("Tamarind-trace.log"));
    link().setTrace(&trace);
    ASSERT_EQ(identify(), "S29GL256_S");
    queue->add(jobs::ReadToFile{file("r.bin").getFullPathName(), 0, 0, 0x1000, 0, 100});
    ASSERT_TRUE(runQueue().ok) << log();
    link().setTrace(nullptr);
    ASSERT_TRUE(trace.flush());
    const auto text = file("Tamarind-trace.log").loadFileAsString();
    auto lines = juce::StringArray::fromLines(text);
    int out = 0, in = 0, shortened = 0;
    for (const auto& line : lines)
    {
        out += line.contains(" out ") ? 1 : 0;
        in += line.contains(" in  ") ? 1 : 0;
        shortened += line.contains(" ... ") ? 1 : 0;
        if (line.contains(" out ") || line.contains(" in  "))
        {
            EXPECT_TRUE(line.contains(" F0 ") && line.endsWith(" F7")) << line;
        }
    }
    EXPECT_GT(out, 3) << text;
    EXPECT_GT(in, 8) << text;        // identify replies, driver statuses, 8 blocks of 512
    EXPECT_GE(shortened, 8) << text; // the data packets
}

TEST_F(Engine, WholeImageOverTcp)
{
    vp::TcpPianoServer server(vp::PianoConfig::parse("flash=S29GL128_S"), 0);
    ASSERT_TRUE(server.start());
    Communication::TickPeriods periods;
    periods.scanMs = 20;
    periods.transferMs = 50;
    periods.readMs = 20;
    connectTo(midi::createTcpSource("127.0.0.1", server.port()), false, periods);
    const auto img = writeFile("update.rom", image::buildUpdateImage(image::ImageSpec{}));
    ASSERT_EQ(identify(), "S29GL128_S");
    recorder.clear();
    queueWholeImage(*queue, img, file("back.bin"));
    const auto outcome = runQueue();
    ASSERT_TRUE(outcome.ok) << log();
    EXPECT_NE(log().find("\nOK!\n"), std::string::npos);
    const auto* f = server.piano().withPiano([](vp::VirtualPiano& p) { return p.flashData(); });
    EXPECT_EQ(0, std::memcmp(f, image::buildUpdateImage(image::ImageSpec{}).getData(), 0x40000));
}

TEST_F(Engine, TcpPeerVanishingMidTransferIsATimeOut)
{
    auto server = std::make_unique<vp::TcpPianoServer>(vp::PianoConfig::parse("flash=S29GL128_S"), 0);
    ASSERT_TRUE(server->start());
    Communication::TickPeriods periods;
    periods.scanMs = 20;
    periods.transferMs = 10;
    periods.readMs = 5;
    connectTo(midi::createTcpSource("127.0.0.1", server->port()), false, periods);
    ASSERT_EQ(identify(), "S29GL128_S");
    recorder.clear();
    queue->add(jobs::ReadToFile{file("r.bin").getFullPathName(), 0, 0, 0x100000, 0, 100});
    recorder.onEvent = [&](const Event& e)
    {
        auto* p = std::get_if<EvProgress>(&e);
        if (p != nullptr && p->kind == ProgressKind::read && p->value >= 0x10000)
            server->dropConnection();
    };
    queue->runNext();
    ASSERT_TRUE(pumpUntil([&] { return recorder.count<EvStepDone>() == 1; }, 30000));
    recorder.onEvent = nullptr;
    EXPECT_EQ(recorder.last<EvStepDone>()->failure, StepFailure::timeOut);
    EXPECT_NE(log().find("The device has no response.\n"), std::string::npos);
}

TEST_F(Engine, DroppedReplyIsATimeOut)
{
    // The header is message 6, the first block 7: its acknowledgement is lost.
    connect("drop=7");
    uploadDriverFor("S29GL512_S");
    queue->add(jobs::ProgramFromBuffer{deviceimages::interimImage(), 0x40000, 0x2000, 0, 100});
    const auto outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::timeOut);
    EXPECT_EQ(log(), "The device has no response.\n");
}

TEST_F(Engine, PowerCutInsideABlockLeavesThePartlyProgrammedFlash)
{
    connect("cut_after=0x1800");
    uploadDriverFor("S29GL512_S");
    std::memset(flash() + 0x40000, 0xFF, 0x4000);
    queue->add(jobs::ProgramFromBuffer{deviceimages::zeroPage(), 0x40000, 0x1000, 0, 50});
    queue->add(jobs::ProgramFromBuffer{deviceimages::zeroPage(), 0x41000, 0x1000, 50, 100});
    const auto outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::timeOut);
    EXPECT_TRUE(allBytes(flash() + 0x40000, 0x1800, 0x00)) << log();
    EXPECT_TRUE(allBytes(flash() + 0x41800, 0x2800, 0xFF));
}

// The read path runs on the input thread alone: each block is stored, the
// next one requested and every packet acknowledged there, so a read completes
// while the message thread dispatches nothing.
TEST_F(Engine, ReadCompletesWithoutTheMessageThread)
{
    connectThreaded("flash=S29GL256_S,packet=256");
    ASSERT_EQ(identify(), "S29GL256_S");
    const auto before = piano->piano(0).withPiano([](vp::VirtualPiano& p) { return p.readRequestsSoFar(); });
    link().readToFile(file("r.bin").getFullPathName(), 0, 0x40000, 0x20000, 0, 100);
    // No message loop from here: only the input thread can move the read on.
    const auto deadline = juce::Time::getMillisecondCounter() + 20000;
    while (link().getState() == Communication::Reading && juce::Time::getMillisecondCounter() < deadline)
        juce::Thread::sleep(1);
    EXPECT_EQ(link().getState(), Communication::Idle);
    EXPECT_EQ(piano->piano(0).withPiano([](vp::VirtualPiano& p) { return p.readRequestsSoFar(); }) - before,
              32);
    juce::MemoryBlock back;
    file("r.bin").loadFileAsData(back);
    ASSERT_EQ(back.getSize(), 0x20000u);
    EXPECT_EQ(0, std::memcmp(back.getData(), flash() + 0x40000, 0x20000));
}
