#include "update/UpdateImage.h"
#include "core/LogOutput.h"
#include "platform/SafeFile.h"
#include "update/BlockedInput.h"

namespace
{
void logLine(CLogOutput* log, const juce::String& line)
{
    if (log != nullptr && line.isNotEmpty())
        log->PrintA("%s\n", line.toRawUTF8());
}

// The whole file, exactly as long as it was when opened.
bool readWhole(platform::RegularFileInput& in, juce::int64 size, juce::MemoryBlock& bytes)
{
    bytes.setSize((size_t)size);
    if (size > 0 && in.read(bytes.getData(), (int)size) != (int)size)
        return false;
    char more = 0;
    return in.read(&more, 1) == 0 && !in.failed();
}

// The file as a stream read once from its start, exactly as long as it was
// when opened, in blocks of kStreamBlockBytes; the first kStreamHeadBytes are
// copied aside as they pass.
class HeadKeepingReader final : public BlockedInput
{
public:
    HeadKeepingReader(platform::RegularFileInput& f, juce::int64 length, juce::MemoryBlock& h)
        : BlockedInput((size_t)image::kStreamBlockBytes), file(f), size(length), head(h)
    {
        head.setSize((size_t)juce::jmin(size, (juce::int64)image::kStreamHeadBytes));
    }
    juce::int64 getTotalLength() override { return size; }
    bool setPosition(juce::int64 newPosition) override { return newPosition == position; }
    // Reads what the reader's user left, then looks for a byte beyond the
    // length: true when the whole file was read and it has not grown.
    bool readToTheEnd()
    {
        while (!ended)
        {
            used = available;
            refill();
        }
        char more = 0;
        return done == size && !file.failed() && file.read(&more, 1) == 0 && !file.failed();
    }

private:
    bool refill() override
    {
        const auto wanted = (int)juce::jmin(size - done, (juce::int64)image::kStreamBlockBytes);
        available = wanted > 0 ? file.read(block.get(), wanted) : 0;
        used = 0;
        if (available <= 0)
        {
            available = 0;
            ended = true;
            return false;
        }
        if (done < (juce::int64)head.getSize())
            head.copyFrom(block.get(), (size_t)done,
                          (size_t)juce::jmin((juce::int64)available, (juce::int64)head.getSize() - done));
        done += available;
        return true;
    }

    platform::RegularFileInput& file;
    const juce::int64 size;
    juce::MemoryBlock& head;
    juce::int64 done = 0;
};

// The checks from the version block on: `head` holds the image's first bytes
// (all of them, or at least kStreamHeadBytes), `length` is the image's length.
int checkImageHead(const juce::uint8* head, size_t headSize, juce::int64 length,
                   const juce::String& deviceProductName, CLogOutput* log, UpdateFileFacts& facts)
{
    const auto block = readVersionBlock(head, headSize, image::kMarkerOffsetInImage);
    const auto version = versionBlockText(block.get(), 0);
    if (version == "error")
        return UpdateFileMissing;
    if (version.isEmpty())
        return UpdateFileNoVersion;
    const auto productName = versionBlockText(block.get(), image::kProductNameIndex);
    if (productName.isEmpty())
        return UpdateFileNoProductName;
    if (deviceProductName.isNotEmpty() && deviceProductName != productName)
        return UpdateFileProductMismatch;

    facts.productName = productName;
    if (log != nullptr)
    {
        log->PrintA("File version:");
        log->SetTextColour(LogColour::red);
        log->PrintW(L"%ls\n", version.toWideCharPointer());
        log->SetTextColour(LogColour::black);
    }
    facts.version = version;

    facts.length = length;
    if (length < image::kSafeImageSize)
    {
        if (log != nullptr)
            log->PrintA("File too small!\n");
        return UpdateFileBadSize;
    }
    if (length % image::kSafeImageSize != 0)
    {
        if (log != nullptr)
            log->PrintA("File length must be an integer multiple of 256k!\n");
        return UpdateFileBadSize;
    }
    if (head[0] == image::kFirstByte && head[image::kSignatureOffset] == image::kSignature1 &&
        head[image::kSignatureOffset + 1] == image::kSignature2)
        return UpdateFileOk;
    return UpdateFileModified;
}

// Opens the image for a check: nullptr, with the result, when it is missing,
// refused or larger than `maxSize`.
std::unique_ptr<platform::RegularFileInput> openImage(const juce::String& imagePath, CLogOutput* log,
                                                      UpdateFileFacts& facts, juce::int64 maxSize,
                                                      int& result)
{
    // What the file is and how long it is are known before any of it is read:
    // a FIFO, a device or an image larger than the flash is never read.
    result = UpdateFileMissing;
    if (platform::inspectFile(imagePath, true) == platform::FileKind::missing)
        return nullptr;
    juce::String problem;
    auto in = platform::RegularFileInput::open(imagePath, true, problem);
    if (in == nullptr)
    {
        logLine(log, problem);
        return nullptr;
    }
    const juce::int64 size = in->getTotalLength();
    if (size > maxSize)
    {
        facts.length = size;
        if (log != nullptr)
            log->PrintA("File too large for the flash! (%lld bytes, the flash holds %lld)\n", (long long)size,
                        (long long)maxSize);
        result = UpdateFileBadSize;
        return nullptr;
    }
    return in;
}

const char* const changedWhileRead = "The update file changed or could not be read while it was read.";
} // namespace

int checkUpdateImage(const juce::String& imagePath, const juce::String& deviceProductName, CLogOutput* log,
                     UpdateFileFacts& facts, juce::int64 maxSize)
{
    int result = UpdateFileMissing;
    auto in = openImage(imagePath, log, facts, maxSize, result);
    if (in == nullptr)
        return result;
    juce::MemoryBlock bytes;
    if (!readWhole(*in, in->getTotalLength(), bytes))
    {
        logLine(log, changedWhileRead);
        return UpdateFileMissing;
    }
    facts.bytes = std::move(bytes);
    return checkUpdateImageBytes(facts.bytes, deviceProductName, log, facts);
}

int checkUpdateImageBytes(const juce::MemoryBlock& bytes, const juce::String& deviceProductName,
                          CLogOutput* log, UpdateFileFacts& facts)
{
    return checkImageHead(static_cast<const juce::uint8*>(bytes.getData()), bytes.getSize(),
                          (juce::int64)bytes.getSize(), deviceProductName, log, facts);
}

int checkUpdateImageStreamed(const juce::String& imagePath, const juce::String& deviceProductName,
                             CLogOutput* log, UpdateFileFacts& facts,
                             const std::function<void(juce::InputStream&)>& readAll, StreamedImage& seen,
                             juce::int64 maxSize)
{
    seen = {};
    int result = UpdateFileMissing;
    auto in = openImage(imagePath, log, facts, maxSize, result);
    if (in == nullptr)
        return result;
    seen.length = in->getTotalLength();
    HeadKeepingReader reader(*in, seen.length, seen.head);
    if (readAll)
        readAll(reader);
    seen.whole = reader.readToTheEnd();
    if (!seen.whole)
    {
        seen.head.reset();
        logLine(log, changedWhileRead);
        return UpdateFileMissing;
    }
    return checkImageHead(static_cast<const juce::uint8*>(seen.head.getData()), seen.head.getSize(),
                          seen.length, deviceProductName, log, facts);
}

int checkUpdateFile(const juce::String& programFolder, const juce::String& deviceProductName, CLogOutput* log,
                    UpdateFileFacts& facts, juce::int64 maxSize)
{
    return checkUpdateImage(programFolder + "update.rom", deviceProductName, log, facts, maxSize);
}

const char* updateFileStatusText(int result)
{
    switch (result)
    {
    case UpdateFileOk:
        return "Piano connected.";
    case UpdateFileModified:
        return "The update file is modified!";
    case UpdateFileBadSize:
        return "The size of the update file is not correct.";
    case UpdateFileMissing:
        return "The update file can't be opened!";
    case UpdateFileNoVersion:
        return "No version infomation found in the update file!";
    case UpdateFileNoProductName:
        return "No product name found in the update file!";
    case UpdateFileProductMismatch:
        return "The product name is not match to the device.";
    default:
        return "";
    }
}
