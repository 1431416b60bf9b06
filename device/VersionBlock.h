#pragma once
#include <juce_core/juce_core.h>
#include <memory>

// The version area: a marker 0xAA 0x55, the version text 14 bytes before it,
// and a product-name descriptor a fixed distance after it. It sits in every
// update image and in the 8 KiB read back from the flash at 0x1F000.
namespace image
{
constexpr juce::int64 kMarkerOffsetInImage = 0x1FFEE;
constexpr juce::int64 kMarkerOffsetInVersionRead = 0xFEE;
constexpr juce::int64 kDescriptorDistance = 0x192; // marker to product-name descriptor
constexpr int kVersionChars = 8;
constexpr int kVersionBlockUnits = 137;
constexpr int kProductNameIndex = 9;
} // namespace image

// 137 UTF-16 code units: version text at 0..7, a terminator at 8, the product
// name from 9 on, zero-filled. Holds "error" when the file was not there.
using VersionBlock = std::unique_ptr<char16_t[]>;

// The file must be a regular file; a symbolic link is followed only when asked.
VersionBlock readVersionBlock(const juce::String& path, juce::int64 markerOffset, bool followLinks = false);
// The same from bytes in memory (never "error").
VersionBlock readVersionBlock(const void* data, size_t size, juce::int64 markerOffset);

// Text of a version block from `index` up to its first terminator.
juce::String versionBlockText(const char16_t* block, int index = 0);
