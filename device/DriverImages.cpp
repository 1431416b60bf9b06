#include "device/DriverImages.h"
#include "DeviceImages.h"
#include <cstring>

namespace driverimage
{
namespace
{
constexpr size_t kMaxSectors = 1u << 18;

void copyName(const juce::uint8* src, char dest[18])
{
    int n = kNameBytes;
    while (n > 0 && src[n - 1] == 0xFF)
        --n;
    std::memset(dest, 0, 18);
    std::memcpy(dest, src, (size_t)n);
}
} // namespace

bool readNames(const juce::uint8* image, int length, char mcuName[18], char flashName[18])
{
    std::memset(mcuName, 0, 18);
    std::memset(flashName, 0, 18);
    for (int at = kHeaderStart; at + 4 <= length; at += 4)
    {
        if (image[at] == 0 && image[at + 1] == 0 && image[at + 2] == 0 && image[at + 3] == 0)
        {
            // Names that would run past the image are left empty.
            if (at + 4 + 2 * kNameBytes > length)
                return false;
            copyName(image + at + 4, mcuName);
            copyName(image + at + 4 + kNameBytes, flashName);
            return true;
        }
    }
    return false;
}

std::vector<SectorInfo> readSectors(const juce::uint8* image, int length)
{
    std::vector<SectorInfo> table;
    juce::int64 start = 0;
    for (int at = kHeaderStart;; at += 4)
    {
        if (at + 4 > length)
            return {}; // no terminating record inside the image
        const int sizeKiB = image[at] | (image[at + 1] << 8);
        const int count = image[at + 2] | (image[at + 3] << 8);
        if (count == 0)
            break;
        // A sector of no size, or more sectors than any supported flash has,
        // makes the header unusable.
        if (sizeKiB == 0 || table.size() + (size_t)count > kMaxSectors)
            return {};
        for (int i = 0; i < count; ++i)
        {
            table.push_back({start, (juce::int64)sizeKiB * 1024});
            start += (juce::int64)sizeKiB * 1024;
        }
    }
    return table;
}
} // namespace driverimage

namespace deviceimages
{
namespace
{
const juce::uint8* table()
{
    return reinterpret_cast<const juce::uint8*>(DeviceImageData::device_images_bin);
}
constexpr int kDriverCount = 4;
} // namespace

std::vector<DriverEntry> builtInDrivers()
{
    std::vector<DriverEntry> list;
    for (int i = 0; i < kDriverCount; ++i)
    {
        DriverEntry e;
        e.image = table() + i * kDriverSize;
        e.length = kDriverSize;
        driverimage::readNames(e.image, e.length, e.mcuName, e.flashName);
        list.push_back(e);
    }
    return list;
}

const juce::uint8* zeroPage()
{
    return table() + kDriverCount * kDriverSize;
}
const juce::uint8* serviceDriver()
{
    return table() + (kDriverCount + 1) * kDriverSize;
}
const juce::uint8* interimImage()
{
    return table() + (kDriverCount + 2) * kDriverSize;
}
} // namespace deviceimages
