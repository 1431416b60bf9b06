#include "update/UpdateImage.h"
#include "core/LogOutput.h"
#include "platform/SafeFile.h"
#include <cstring>

namespace
{
// Reads exactly `count` bytes at `offset`; false when they are not all there.
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
} // namespace

int checkUpdateImage(const juce::String& imagePath, const juce::String& deviceProductName, CLogOutput* log,
                     UpdateFileFacts& facts, juce::int64 maxSize)
{
    // What the file is and how long it is are known before any of it is read:
    // a FIFO, a device or an image larger than the flash is never read.
    if (platform::inspectFile(imagePath, true) == platform::FileKind::missing)
        return UpdateFileMissing;
    juce::String problem;
    auto in = platform::RegularFileInput::open(imagePath, true, problem);
    if (in == nullptr)
    {
        logLine(log, problem);
        return UpdateFileMissing;
    }
    const juce::int64 size = in->getTotalLength();
    if (size > maxSize)
    {
        facts.length = size;
        if (log != nullptr)
            log->PrintA("File too large for the flash! (%lld bytes, the flash holds %lld)\n", (long long)size,
                        (long long)maxSize);
        return UpdateFileBadSize;
    }
    juce::MemoryBlock bytes;
    if (!readWhole(*in, size, bytes))
    {
        logLine(log, "The update file changed or could not be read while it was read.");
        return UpdateFileMissing;
    }
    facts.bytes = std::move(bytes);
    return checkUpdateImageBytes(facts.bytes, deviceProductName, log, facts);
}

int checkUpdateImageBytes(const juce::MemoryBlock& bytes, const juce::String& deviceProductName,
                          CLogOutput* log, UpdateFileFacts& facts)
{
    const auto block = readVersionBlock(bytes.getData(), bytes.getSize(), image::kMarkerOffsetInImage);
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

    const auto length = (juce::int64)bytes.getSize();
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
    const auto* data = static_cast<const juce::uint8*>(bytes.getData());
    if (data[0] == image::kFirstByte && data[image::kSignatureOffset] == image::kSignature1 &&
        data[image::kSignatureOffset + 1] == image::kSignature2)
        return UpdateFileOk;
    return UpdateFileModified;
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
