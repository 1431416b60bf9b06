#include "device/VersionBlock.h"
#include "platform/SafeFile.h"
#include <cstring>

namespace
{
bool readAt(juce::InputStream& in, juce::int64 offset, void* dest, int count)
{
    if (offset < 0 || !in.setPosition(offset))
        return false;
    return in.read(dest, count) == count;
}

bool readU16(juce::InputStream& in, juce::uint16& value)
{
    juce::uint8 b[2];
    if (in.read(b, 2) != 2)
        return false;
    value = (juce::uint16)(b[0] | (b[1] << 8));
    return true;
}

VersionBlock emptyBlock()
{
    return VersionBlock(new char16_t[image::kVersionBlockUnits]());
}

VersionBlock parseVersionBlock(juce::InputStream& in, juce::int64 markerOffset)
{
    auto block = emptyBlock();
    juce::uint8 marker[2];
    if (readAt(in, markerOffset, marker, 2) && marker[0] == 0xAA && marker[1] == 0x55)
    {
        juce::uint8 text[image::kVersionChars];
        if (readAt(in, markerOffset - 14, text, image::kVersionChars))
            for (int i = 0; i < image::kVersionChars; ++i)
                block[i] = text[i];
        block[image::kVersionChars] = 0;
    }

    if (!in.setPosition(markerOffset + image::kDescriptorDistance))
        return block;
    juce::uint16 first = 0, type = 0;
    if (!readU16(in, first) || !readU16(in, type))
        return block;
    const juce::uint16 lengthByte = (juce::uint16)(first >> 8);
    const juce::uint16 units = (juce::uint16)(lengthByte - 2);
    if ((units & 1) != 0 || type != 0x0300 || lengthByte < 4)
        return block;
    for (int i = 0; i < units / 2 && image::kProductNameIndex + i < image::kVersionBlockUnits - 1; ++i)
    {
        juce::uint16 a = 0, b = 0;
        if (!readU16(in, a) || !readU16(in, b))
            break;
        block[image::kProductNameIndex + i] = (char16_t)((a >> 8) | b);
    }
    return block;
}

} // namespace

VersionBlock readVersionBlock(const juce::String& path, juce::int64 markerOffset, bool followLinks)
{
    juce::String problem;
    auto in = path.isNotEmpty() ? platform::RegularFileInput::open(path, followLinks, problem) : nullptr;
    if (in == nullptr)
    {
        auto block = emptyBlock();
        const char16_t error[] = u"error";
        std::memcpy(block.get(), error, sizeof(error));
        return block;
    }
    return parseVersionBlock(*in, markerOffset);
}

VersionBlock readVersionBlock(const void* data, size_t size, juce::int64 markerOffset)
{
    juce::MemoryInputStream in(data, size, false);
    return parseVersionBlock(in, markerOffset);
}

juce::String versionBlockText(const char16_t* block, int index)
{
    juce::String text;
    for (int i = index; i < image::kVersionBlockUnits && block[i] != 0; ++i)
        text += juce::String::charToString((juce::juce_wchar)block[i]);
    return text;
}
