#include "update/FileSummary.h"
#include "TestSupport.h"
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace
{
juce::String run(const juce::StringArray& command)
{
    juce::ChildProcess p;
    if (!p.start(command))
        return {};
    return p.readAllProcessOutput().trim();
}

struct SummaryCase
{
    juce::String line, digest;
};

SummaryCase summarise(const juce::File& f, std::vector<double>* progress = nullptr)
{
    juce::uint32 sum = 0;
    auto report = [&](double p)
    {
        if (progress != nullptr)
            progress->push_back(p);
    };
    const auto size = summary::fileByteSum(f.getFullPathName(), sum, report);
    return {summary::checksumLine(size, sum), summary::md5Line(f.getFullPathName(), size, report)};
}
} // namespace

TEST(FileSummary, AgreesWithMd5sumAndAnIndependentByteSum)
{
    auto folder = testing_support::makeTempFolder("tamarind-summary");
    const auto empty = folder.getChildFile("empty.bin");
    empty.create();
    const auto abc = folder.getChildFile("abc.bin");
    abc.replaceWithText("abc");
    const auto big = folder.getChildFile("big.bin");
    {
        juce::MemoryBlock data(5 * 1024 * 1024 + 123);
        juce::Random r(42);
        r.fillBitsRandomly(data.getData(), data.getSize());
        big.replaceWithData(data.getData(), data.getSize());
    }

    EXPECT_EQ(summarise(empty).line, "0.00 MB  Checksum: 00000000 H");
    EXPECT_EQ(summarise(empty).digest, "MD5:D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(summarise(abc).line, "0.00 MB  Checksum: 00000126 H");
    for (auto& f : {empty, abc, big})
    {
        SCOPED_TRACE(f.getFileName());
        const auto mine = summarise(f);
        const auto md5sum = run({"md5sum", f.getFullPathName()}).upToFirstOccurrenceOf(" ", false, false);
        EXPECT_EQ(mine.digest, "MD5:" + md5sum.toUpperCase());
        const auto pySum = run(
            {"python3", "-c", "import sys; print('%08X' % (sum(open(sys.argv[1],'rb').read()) & 0xFFFFFFFF))",
             f.getFullPathName()});
        EXPECT_TRUE(mine.line.contains("Checksum: " + pySum + " H")) << mine.line << " vs " << pySum;
    }
    EXPECT_TRUE(summarise(big).line.startsWith("5.00 MB"));
    folder.deleteRecursively();
}

TEST(FileSummary, ProgressSharesAndAFileThatVanishes)
{
    auto folder = testing_support::makeTempFolder("tamarind-summary");
    const auto f = folder.getChildFile("f.bin");
    juce::MemoryBlock data(0x30000, true);
    f.replaceWithData(data.getData(), data.getSize());
    std::vector<double> progress;
    summarise(f, &progress);
    ASSERT_FALSE(progress.empty());
    // 12 sum blocks end at 0.5; the digest pass reports 0.5 + 0.5 x 0x20000 / 0x30000, then 1.
    EXPECT_DOUBLE_EQ(progress[11], 0.5);
    EXPECT_DOUBLE_EQ(progress[12], 0.5 + 0.5 * 0x20000 / 0x30000);
    EXPECT_DOUBLE_EQ(progress.back(), 1.0);

    juce::uint32 sum = 0;
    const auto size = summary::fileByteSum(f.getFullPathName(), sum);
    f.deleteFile(); // gone between the two passes
    EXPECT_EQ(summary::checksumLine(size, sum), "0.19 MB  Checksum: 00000000 H");
    EXPECT_EQ(summary::md5Line(f.getFullPathName(), size), "File cann't be opened.");
    EXPECT_EQ(summary::fileByteSum(f.getFullPathName(), sum), -1);
    EXPECT_EQ(summary::checksumLine(-1, 0), "File cann't be opened.");
    folder.deleteRecursively();
}

TEST(FileSummary, RunsOnAWorkerWithProgressReadElsewhere)
{
    auto folder = testing_support::makeTempFolder("tamarind-summary");
    const auto f = folder.getChildFile("f.bin");
    juce::MemoryBlock data(0x100000, true);
    f.replaceWithData(data.getData(), data.getSize());
    std::atomic<double> progress{0};
    std::atomic<bool> stop{false};
    juce::String digest;
    std::thread worker(
        [&]
        {
            juce::uint32 sum = 0;
            const auto size = summary::fileByteSum(f.getFullPathName(), sum, [&](double p) { progress = p; });
            digest = summary::md5Line(
                f.getFullPathName(), size, [&](double p) { progress = p; }, [&] { return stop.load(); });
        });
    double seen = 0;
    while (seen < 1.0)
        seen = std::max(seen, progress.load());
    worker.join();
    EXPECT_EQ(digest.length(), 4 + 32);

    // Asked to stop, the digest pass ends without a result.
    stop = true;
    EXPECT_EQ(summary::md5Line(f.getFullPathName(), 0x100000, {}, [&] { return stop.load(); }),
              "File cann't be opened.");
    folder.deleteRecursively();
}
