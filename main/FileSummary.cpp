// The "Check sum thread": size, byte sum and MD5 of the file chosen in the
// write box. The user interface is touched only under the message-manager lock.
#include "main/MainComponent.h"
#include <juce_cryptography/juce_cryptography.h>

namespace
{
constexpr int kSumBlock = 0x4000;
constexpr int kDigestBlock = 0x20000;

// Feeds MD5 from the file in 128 KiB reads and reports each read.
class ChunkedFileStream : public juce::InputStream
{
public:
    ChunkedFileStream(juce::FileInputStream& f, std::function<void(juce::int64)> onChunk)
        : file(f), report(std::move(onChunk)), buffer((size_t)kDigestBlock)
    {
    }
    juce::int64 getTotalLength() override { return -1; } // read until the file ends
    bool isExhausted() override { return available == used && ended; }
    juce::int64 getPosition() override { return position; }
    bool setPosition(juce::int64) override { return false; }
    int read(void* dest, int wanted) override
    {
        int given = 0;
        while (given < wanted)
        {
            if (used == available)
            {
                if (ended || !refill())
                    break;
            }
            const int n = juce::jmin(wanted - given, available - used);
            std::memcpy(static_cast<char*>(dest) + given, buffer.get() + used, (size_t)n);
            used += n;
            given += n;
        }
        position += given;
        return given;
    }

private:
    bool refill()
    {
        available = file.read(buffer.get(), kDigestBlock);
        used = 0;
        if (available <= 0)
        {
            available = 0;
            ended = true;
            return false;
        }
        done += available;
        report(done);
        return true;
    }
    juce::FileInputStream& file;
    std::function<void(juce::int64)> report;
    juce::HeapBlock<char> buffer;
    int available = 0, used = 0;
    bool ended = false;
    juce::int64 position = 0, done = 0;
};
} // namespace

// Size of the file (-1 when it cannot be opened) and its 32-bit byte sum,
// streamed in 16 KiB blocks; fills the first half of the progress bar.
juce::int64 fileByteSum(const juce::String& path, juce::uint32& sum, double* progress)
{
    sum = 0;
    const juce::File file(juce::File::isAbsolutePath(path) ? juce::File(path) : juce::File());
    juce::FileInputStream in(file);
    if (!file.existsAsFile() || !in.openedOk())
        return -1;
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
        if (progress != nullptr && size > 0)
            *progress = (double)total * 0.5 / (double)size;
        if (n < kSumBlock)
            break;
    }
    return size;
}

void MainComponent::startFileSummary(const juce::String& path)
{
    stopThread(5000);
    {
        const juce::ScopedLock sl(summaryPathLock);
        summaryFilePath = path;
    }
    writeFileBox->setEnabled(false);
    updateButton->setEnabled(false);
    checksumLabel->setText("Updating...", juce::dontSendNotification);
    md5Label->setText("Updating...", juce::dontSendNotification);
    startThread();
    progressValue = 0;
    progressBar->setVisible(true);
}

void MainComponent::run()
{
    juce::String path;
    {
        const juce::ScopedLock sl(summaryPathLock);
        path = summaryFilePath.substring(0, 259);
    }
    juce::uint32 sum = 0;
    const juce::int64 size = fileByteSum(path, sum, &progressValue);
    {
        const juce::MessageManagerLock mml(this);
        if (!mml.lockWasGained())
            return; // the program is closing
        checksumLabel->setText(size < 0 ? juce::String("File cann't be opened.")
                                        : juce::String::formatted("%.2f MB  Checksum: %08X H",
                                                                  (double)((float)size * (1.0f / 1024) * (1.0f / 1024)),
                                                                  (unsigned)sum),
                               juce::dontSendNotification);
    }

    juce::String digestLine = "File cann't be opened.";
    const juce::File file(juce::File::isAbsolutePath(path) ? juce::File(path) : juce::File());
    juce::FileInputStream in(file);
    if (file.existsAsFile() && in.openedOk() && !threadShouldExit())
    {
        ChunkedFileStream chunks(in, [this, size](juce::int64 done) {
            if (size > 0)
                progressValue = 0.5 + (double)done * 0.5 / (double)size;
        });
        const juce::MD5 md5(chunks);
        digestLine = "MD5:" + md5.toHexString().toUpperCase();
    }
    const juce::MessageManagerLock mml(this);
    if (!mml.lockWasGained())
        return;
    md5Label->setText(digestLine, juce::dontSendNotification);
    writeFileBox->setEnabled(true);
    updateButton->setEnabled(instrumentConnected);
    progressBar->setVisible(false);
}
