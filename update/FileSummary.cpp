#include "update/FileSummary.h"
#include "platform/SafeFile.h"
#include "update/BlockedInput.h"
#include <juce_cryptography/juce_cryptography.h>

namespace summary
{
const char* const cannotOpen = "File cann't be opened.";

namespace
{
constexpr int kSumBlock = 0x4000;
constexpr int kDigestBlock = 0x20000;

// Only a regular file is read: a FIFO or a device in its place would never end.
std::unique_ptr<platform::RegularFileInput> openFile(const juce::String& path)
{
    juce::String problem;
    return platform::RegularFileInput::open(path, true, problem);
}

// Feeds the digest from the file in 128 KiB reads and reports each read.
class ChunkedStream final : public BlockedInput
{
public:
    ChunkedStream(platform::RegularFileInput& f, std::function<void(juce::int64)> onChunk,
                  const std::function<bool()>& stop)
        : BlockedInput((size_t)kDigestBlock), file(f), report(std::move(onChunk)), shouldStop(stop)
    {
    }
    juce::int64 getTotalLength() override { return -1; }
    bool setPosition(juce::int64) override { return false; }
    bool failed = false;

private:
    bool refill() override
    {
        if (shouldStop && shouldStop())
        {
            ended = failed = true;
            return false;
        }
        available = file.read(block.get(), kDigestBlock);
        used = 0;
        if (available <= 0)
        {
            failed = available < 0 || file.failed();
            available = 0;
            ended = true;
            return false;
        }
        done += available;
        if (report)
            report(done);
        return true;
    }

    platform::RegularFileInput& file;
    std::function<void(juce::int64)> report;
    const std::function<bool()>& shouldStop;
    juce::int64 done = 0;
};
} // namespace

juce::int64 fileByteSum(const juce::String& path, juce::uint32& sum, const Progress& progress,
                        const std::function<bool()>& shouldStop)
{
    sum = 0;
    auto file = openFile(path);
    if (file == nullptr)
        return -1;
    auto& in = *file;
    const juce::int64 size = in.getTotalLength();
    juce::HeapBlock<juce::uint8> block((size_t)kSumBlock);
    juce::int64 total = 0;
    for (;;)
    {
        const int n = in.read(block.get(), kSumBlock);
        if (n <= 0)
            break;
        total += n;
        juce::uint32 s = 0;
        for (int i = 0; i < n; ++i)
            s += block[i];
        sum += s;
        if (progress && size > 0)
            progress((double)total * 0.5 / (double)size);
        if (n < kSumBlock || (shouldStop && shouldStop()))
            break;
    }
    return size;
}

juce::String md5Line(const juce::String& path, juce::int64 size, const Progress& progress,
                     const std::function<bool()>& shouldStop)
{
    auto file = openFile(path);
    if (file == nullptr)
        return cannotOpen;
    ChunkedStream chunks(
        *file,
        [&](juce::int64 done)
        {
            if (progress && size > 0)
                progress(0.5 + (double)done * 0.5 / (double)size);
        },
        shouldStop);
    const juce::MD5 md5(chunks);
    if (chunks.failed)
        return cannotOpen;
    return "MD5:" + md5.toHexString().toUpperCase();
}

juce::String checksumLine(juce::int64 size, juce::uint32 sum)
{
    if (size < 0)
        return cannotOpen;
    const float mb = (float)size * (1.0f / 1024) * (1.0f / 1024);
    return juce::String::formatted("%.2f MB  Checksum: %08X H", (double)mb, (unsigned)sum);
}
} // namespace summary
