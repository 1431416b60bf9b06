#pragma once
#include <functional>
#include <juce_core/juce_core.h>

// Size, 32-bit byte sum and MD5 of a file, streamed (16 KiB blocks for the sum,
// 128 KiB blocks for the digest). Progress goes from 0 to 0.5 in the sum pass
// and from 0.5 to 1 in the digest pass.
namespace summary
{
using Progress = std::function<void(double)>;

// The file's size, or -1 when it cannot be opened or is not a regular file
// (sum 0). `shouldStop` ends the pass early.
juce::int64 fileByteSum(const juce::String& path, juce::uint32& sum, const Progress& progress = {},
                        const std::function<bool()>& shouldStop = {});

// "MD5:" and 32 upper-case hexadecimal digits, or "File cann't be opened.".
// `size` is the size found by the sum pass (for the progress share).
juce::String md5Line(const juce::String& path, juce::int64 size, const Progress& progress = {},
                     const std::function<bool()>& shouldStop = {});

// "%.2f MB  Checksum: %08X H", or "File cann't be opened." for a negative size.
juce::String checksumLine(juce::int64 size, juce::uint32 sum);

extern const char* const cannotOpen; // "File cann't be opened."
} // namespace summary
