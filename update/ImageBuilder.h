#pragma once
#include "device/FlashLayout.h"
#include <juce_core/juce_core.h>

// Makes update images for tests, the demo and the virtual piano's factory
// content. Nothing else in the project is a sample image.
namespace image
{
struct ImageSpec
{
    juce::String version = "V1.00.00"; // up to 8 single-byte characters
    juce::String productName = "Tessaro";
    int size = (int)region::safeImageLimit;
    // "counter" (position-dependent bytes), "random:SEED", "byte:XX" (hex).
    juce::String fill = "counter";
    bool withSignature = true; // first byte 0x02, "BD" at 0xFFF8
    bool withVersionMarker = true;
    bool withProductName = true;
};

// Fills `dest` with the pattern (positions count from `origin`). Returns false
// for an unknown pattern.
bool fillPattern(const juce::String& fill, juce::uint8* dest, size_t count, juce::uint32 origin = 0);

juce::MemoryBlock buildUpdateImage(const ImageSpec& rom);

// Writes the version block (version text, marker, product-name descriptor)
// into an image buffer; offsets beyond `size` are skipped.
void writeVersionBlock(juce::uint8* data, size_t size, const juce::String& version,
                       const juce::String& productName, bool withMarker = true, bool withProductName = true);
} // namespace image
