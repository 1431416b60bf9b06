// The file summary's two passes (32-bit byte sum, then MD5) on a 256 MiB file,
// against md5sum on the same file in the same run, each timed warm (the file
// is read once before timing so every pass reads from the page cache).
// Usage: bench_summary [FILE_MiB] [RUNS]
#include "update/FileSummary.h"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

namespace
{
double seconds(const std::function<void()>& fn)
{
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}
} // namespace

int main(int argc, char** argv)
{
    const int mib = argc > 1 ? std::max(1, std::atoi(argv[1])) : 256;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const auto file = juce::File::createTempFile(".bin");
    {
        juce::FileOutputStream out(file);
        std::vector<juce::uint8> chunk(1 << 20);
        std::mt19937 rng(3);
        for (int i = 0; i < mib; ++i)
        {
            for (auto& b : chunk)
                b = (juce::uint8)rng();
            out.write(chunk.data(), chunk.size());
        }
    }
    const auto path = file.getFullPathName();
    juce::uint32 sum = 0;
    summary::fileByteSum(path, sum); // warm the page cache

    std::vector<double> sumTimes, md5Times, toolTimes;
    juce::String ours, theirs;
    for (int i = 0; i < runs; ++i)
    {
        juce::int64 size = 0;
        sumTimes.push_back(seconds([&] { size = summary::fileByteSum(path, sum); }));
        md5Times.push_back(seconds([&] { ours = summary::md5Line(path, size); }));
        toolTimes.push_back(seconds(
            [&]
            {
                juce::ChildProcess md5sum;
                if (md5sum.start(juce::StringArray{"md5sum", path}))
                    theirs = md5sum.readAllProcessOutput().upToFirstOccurrenceOf(" ", false, false);
            }));
    }
    const bool agree = ours == "MD5:" + theirs.toUpperCase();
    const double mb = mib * 1048576.0 / 1e6;
    std::printf("file summary of a %d MiB file (page cache warm), median of %d:\n", mib, runs);
    std::printf("  byte sum %.3f s (%.0f MB/s)\n", median(sumTimes), mb / median(sumTimes));
    std::printf("  MD5 %.3f s (%.0f MB/s), md5sum %.3f s (%.0f MB/s): %.3f x md5sum (target <= 1.1)%s\n",
                median(md5Times), mb / median(md5Times), median(toolTimes), mb / median(toolTimes),
                median(md5Times) / median(toolTimes), agree ? "" : "  DIGESTS DIFFER");
    file.deleteFile();
    return agree ? 0 : 1;
}
