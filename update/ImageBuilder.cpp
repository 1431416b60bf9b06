#include "update/ImageBuilder.h"
#include "update/UpdateImage.h"

namespace image
{
bool fillPattern(const juce::String& fill, juce::uint8* dest, size_t count, juce::uint32 origin)
{
    if (fill == "counter")
    {
        // Varies within and across 256-byte runs so that misplaced blocks show.
        for (size_t i = 0; i < count; ++i)
        {
            const juce::uint32 p = origin + (juce::uint32)i;
            dest[i] = (juce::uint8)(p ^ (p >> 8) ^ (p >> 16) * 7);
        }
        return true;
    }
    if (fill.startsWith("random:"))
    {
        // xorshift32, seeded; position-independent stream from the origin.
        juce::uint32 x = (juce::uint32)fill.fromFirstOccurrenceOf(":", false, false).getLargeIntValue() | 1u;
        for (juce::uint32 skip = 0; skip < origin; ++skip)
        {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
        }
        for (size_t i = 0; i < count; ++i)
        {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            dest[i] = (juce::uint8)(x >> 24);
        }
        return true;
    }
    if (fill.startsWith("byte:"))
    {
        const auto value = (juce::uint8)fill.fromFirstOccurrenceOf(":", false, false).getHexValue32();
        std::fill(dest, dest + count, value);
        return true;
    }
    return false;
}

void writeVersionBlock(juce::uint8* data, size_t size, const juce::String& version,
                       const juce::String& productName, bool withMarker, bool withProductName)
{
    auto put = [&](juce::int64 offset, juce::uint8 value)
    {
        if (offset >= 0 && (size_t)offset < size)
            data[offset] = value;
    };
    for (int i = 0; i < kVersionChars; ++i)
        put(kVersionTextOffset + i, i < version.length() ? (juce::uint8)version[i] : 0);
    put(kMarkerOffsetInImage, withMarker ? 0xAA : 0x00);
    put(kMarkerOffsetInImage + 1, withMarker ? 0x55 : 0x00);

    // USB string descriptor in spread form: each descriptor byte is the second
    // byte of a pair whose first byte is 0.
    const int chars = withProductName ? juce::jmin(126, productName.length()) : 0;
    const int descriptorLength = withProductName ? 2 + 2 * chars : 0;
    juce::int64 at = kDescriptorOffset;
    auto putDescriptorByte = [&](juce::uint8 value)
    {
        put(at++, 0x00);
        put(at++, value);
    };
    putDescriptorByte((juce::uint8)descriptorLength);
    putDescriptorByte(withProductName ? 0x03 : 0x00);
    for (int i = 0; i < chars; ++i)
    {
        const auto unit = (juce::uint32)productName[i];
        putDescriptorByte((juce::uint8)(unit & 0xFF));
        putDescriptorByte((juce::uint8)((unit >> 8) & 0xFF));
    }
}

juce::MemoryBlock buildUpdateImage(const ImageSpec& rom)
{
    juce::MemoryBlock block((size_t)juce::jmax(0, rom.size), true);
    auto* data = static_cast<juce::uint8*>(block.getData());
    const size_t size = block.getSize();
    if (!fillPattern(rom.fill, data, size))
        fillPattern("counter", data, size);

    if (rom.withSignature)
    {
        // A long jump over the vector area, as the controller's reset code does.
        const juce::uint8 reset[] = {kFirstByte, 0x01, 0x00};
        for (size_t i = 0; i < sizeof(reset) && i < size; ++i)
            data[i] = reset[i];
        if ((size_t)kSignatureOffset + 1 < size)
        {
            data[kSignatureOffset] = kSignature1;
            data[kSignatureOffset + 1] = kSignature2;
        }
    }
    else if (size > 0)
        data[0] = 0xFF;

    writeVersionBlock(data, size, rom.version, rom.productName, rom.withVersionMarker, rom.withProductName);
    return block;
}
} // namespace image
