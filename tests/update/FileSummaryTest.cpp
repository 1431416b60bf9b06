#include "update/FileSummary.h"
#include "TestSupport.h"
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

namespace
{
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

// Expected digests are the published MD5 test values and, for a file larger
// than the summary's read blocks, a value computed once by an independent
// tool; byte sums are added up here.
TEST(FileSummary, AgreesWithKnownDigestsAndAnIndependentByteSum)
{
    auto folder = testing_support::makeTempFolder("tamarind-summary");
    struct Known
    {
        const char* name;
        juce::MemoryBlock data;
        const char* md5;
    };
    std::vector<Known> files;
    auto text = [](const char* t) { return juce::MemoryBlock(t, std::strlen(t)); };
    files.push_back({"empty.bin", {}, "D41D8CD98F00B204E9800998ECF8427E"});
    files.push_back({"a.bin", text("a"), "0CC175B9C0F1B6A831C399E269772661"});
    files.push_back({"abc.bin", text("abc"), "900150983CD24FB0D6963F7D28E17F72"});
    files.push_back({"digest.bin", text("message digest"), "F96B697D7CB7938D525A2F31AAF161D0"});
    files.push_back({"alphabet.bin", text("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B"});
    const char* digits = "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
    files.push_back({"digits.bin", text(digits), "57EDF4A22BE3C955AC49DA2E2107B67A"});
    juce::MemoryBlock big(5 * 1024 * 1024 + 123);
    for (size_t i = 0; i < big.getSize(); ++i)
        big[i] = (char)((i * 131 + (i >> 11)) & 0xFF);
    files.push_back({"big.bin", big, "579E5296D1B436AE3138B55C013B149C"});

    for (auto& known : files)
    {
        SCOPED_TRACE(known.name);
        const auto f = folder.getChildFile(known.name);
        ASSERT_TRUE(known.data.isEmpty() ? f.create().wasOk()
                                         : f.replaceWithData(known.data.getData(), known.data.getSize()));
        juce::uint32 sum = 0;
        for (size_t i = 0; i < known.data.getSize(); ++i)
            sum += (juce::uint8)known.data[i];
        const auto mine = summarise(f);
        EXPECT_EQ(mine.digest, juce::String("MD5:") + known.md5);
        EXPECT_TRUE(mine.line.contains(juce::String::formatted("Checksum: %08X H", sum))) << mine.line;
    }
    EXPECT_EQ(summarise(folder.getChildFile("empty.bin")).line, "0.00 MB  Checksum: 00000000 H");
    EXPECT_EQ(summarise(folder.getChildFile("abc.bin")).line, "0.00 MB  Checksum: 00000126 H");
    EXPECT_EQ(summarise(folder.getChildFile("big.bin")).line, "5.00 MB  Checksum: 27D83B6D H");
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
