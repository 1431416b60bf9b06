#pragma once
#include "device/FlashLayout.h"
#include "device/VersionBlock.h"
#include <functional>
#include <juce_core/juce_core.h>
#include <memory>
#include <optional>

class CLogOutput;

// Layout of an update image (its version area is laid out as in VersionBlock.h).
namespace image
{
constexpr juce::int64 kSignatureOffset = 0xFFF8;
constexpr juce::int64 kVersionTextOffset = 0x1FFE0;
constexpr juce::int64 kDescriptorOffset = kMarkerOffsetInImage + kDescriptorDistance; // 0x20180
constexpr int kSafeImageSize = (int)region::safeImageLimit;
constexpr juce::uint8 kFirstByte = 0x02;
constexpr juce::uint8 kSignature1 = 0x42; // "B"
constexpr juce::uint8 kSignature2 = 0x44; // "D"
// The largest flash of the family (1 Gbit): no image can be larger.
constexpr juce::int64 kMaxImageSize = 0x8000000;
} // namespace image

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
    juce::MemoryBlock bytes; // the bytes checked, read once; empty when they could not be read
};

// Reads the image at `imagePath` once into memory and checks those bytes in
// the fixed order of checks; returns the result code. Before anything of the
// file is read, it must be a regular file (a symbolic link is followed) of at
// most `maxSize` bytes, the most the flash can take; otherwise the result is 3
// or 2 with a log line that names the reason. `log` (may be null) receives the
// check's own lines.
int checkUpdateImage(const juce::String& imagePath, const juce::String& deviceProductName, CLogOutput* log,
                     UpdateFileFacts& facts, juce::int64 maxSize = image::kMaxImageSize);

// Checks "update.rom" in `programFolder` (which ends with a separator).
int checkUpdateFile(const juce::String& programFolder, const juce::String& deviceProductName, CLogOutput* log,
                    UpdateFileFacts& facts, juce::int64 maxSize = image::kMaxImageSize);

// The checks from the version block on, on bytes already read.
int checkUpdateImageBytes(const juce::MemoryBlock& bytes, const juce::String& deviceProductName,
                          CLogOutput* log, UpdateFileFacts& facts);

// What checkUpdateImageStreamed saw of the file.
struct StreamedImage
{
    bool whole = false;     // every byte of the file, as long as when opened, went through the reader
    juce::int64 length = 0; // its length when opened
    juce::MemoryBlock head; // its first bytes (at most kStreamHeadBytes), all the checks look at
};

namespace image
{
// The streamed check reads blocks of this size and keeps this much of the
// image's start: the first byte, the signature and the version area all lie
// within the smallest acceptable image.
constexpr int kStreamBlockBytes = 1 << 20;
constexpr int kStreamHeadBytes = kSafeImageSize;
} // namespace image

// checkUpdateImage for a report on an image of any size, without the image in
// memory: the file is read once, front to back, in blocks of at most
// kStreamBlockBytes through the stream handed to `readAll`, which reads as
// much of it as it wants (a digest's constructor reads it all; the rest is
// read after it); only its first kStreamHeadBytes are kept, in `seen`. The
// same result codes and log lines as checkUpdateImage; facts.bytes stays empty.
int checkUpdateImageStreamed(const juce::String& imagePath, const juce::String& deviceProductName,
                             CLogOutput* log, UpdateFileFacts& facts,
                             const std::function<void(juce::InputStream&)>& readAll, StreamedImage& seen,
                             juce::int64 maxSize = image::kMaxImageSize);

// The status line and log line the caller shows for a result code.
const char* updateFileStatusText(int result);
