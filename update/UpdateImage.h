#pragma once
#include <juce_core/juce_core.h>
#include <memory>
#include <optional>

class CLogOutput;

// Layout of an update image and of the version area read back from the flash.
namespace image
{
constexpr juce::int64 kSignatureOffset = 0xFFF8;
constexpr juce::int64 kVersionTextOffset = 0x1FFE0;
constexpr juce::int64 kMarkerOffsetInImage = 0x1FFEE;
constexpr juce::int64 kMarkerOffsetInVersionRead = 0xFEE;
constexpr juce::int64 kDescriptorDistance = 0x192; // marker to product-name descriptor
constexpr juce::int64 kDescriptorOffset = kMarkerOffsetInImage + kDescriptorDistance; // 0x20180
constexpr int kSafeImageSize = 0x40000;
constexpr juce::uint8 kFirstByte = 0x02;
constexpr juce::uint8 kSignature1 = 0x42; // "B"
constexpr juce::uint8 kSignature2 = 0x44; // "D"
constexpr int kVersionChars = 8;
constexpr int kVersionBlockUnits = 137;
constexpr int kProductNameIndex = 9;
} // namespace image

// 137 UTF-16 code units: version text at 0..7, a terminator at 8, the product
// name from 9 on, zero-filled. Holds "error" when the file was not there.
using VersionBlock = std::unique_ptr<char16_t[]>;

VersionBlock readVersionBlock(const juce::String& path, juce::int64 markerOffset);

// Text of a version block from `index` up to its first terminator.
juce::String versionBlockText(const char16_t* block, int index = 0);

// Result codes of the image check.
enum UpdateFileResult
{
    UpdateFileOk = 0,
    UpdateFileModified = 1,
    UpdateFileBadSize = 2,
    UpdateFileMissing = 3,
    UpdateFileNoVersion = 4,
    UpdateFileNoProductName = 5,
    UpdateFileProductMismatch = 6,
};

// What the check leaves behind for the caller; each value is set only once the
// check has reached the step that produces it.
struct UpdateFileFacts
{
    std::optional<juce::String> productName;
    std::optional<juce::String> version;
    std::optional<juce::int64> length;
};

// Checks the image at `imagePath` in the fixed order of checks and returns its
// result code. `log` (may be null) receives the check's own lines.
int checkUpdateImage(const juce::String& imagePath, const juce::String& deviceProductName, CLogOutput* log,
                     UpdateFileFacts& facts);

// Checks "update.rom" in `programFolder` (which ends with a separator).
int checkUpdateFile(const juce::String& programFolder, const juce::String& deviceProductName, CLogOutput* log,
                    UpdateFileFacts& facts);

// The status line and log line the caller shows for a result code.
const char* updateFileStatusText(int result);
