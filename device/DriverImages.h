#pragma once
#include <juce_core/juce_core.h>
#include <utility>
#include <vector>

// One flash driver of the built-in list: the image and the names its header carries.
struct DriverEntry
{
    const juce::uint8* image = nullptr;
    int length = 0;
    char mcuName[18] = {};
    char flashName[18] = {};
};

// One sector of the flash: byte offset from the start of the flash, and size.
struct SectorInfo
{
    juce::int64 start = 0;
    juce::int64 size = 0;
};

namespace driverimage
{
constexpr int kHeaderStart = 16;
constexpr int kNameBytes = 16;

// Names of an image: the first all-zero word at 16, 20, 24, ... ends the
// sector table; the MCU and flash names follow it, trailing 0xFF removed.
// Both names are empty when no such word exists. Returns whether it found one.
bool readNames(const juce::uint8* image, int length, char mcuName[18], char flashName[18]);

// Sector table: records of (size KiB, count) from offset 16 up to the first
// record whose count is 0. Empty when the first count is 0, the sum is 0, or
// the records run past the image.
std::vector<SectorInfo> readSectors(const juce::uint8* image, int length);
} // namespace driverimage

// The embedded device images, produced at build time.
namespace deviceimages
{
constexpr int kDriverSize = 0x1000;
constexpr int kInterimSize = 0x10000;

// The four built-in drivers, in list order (128, 256, 512 Mbit, 1 Gbit).
std::vector<DriverEntry> builtInDrivers();
const juce::uint8* zeroPage();      // 0x1000 bytes of 0x00
const juce::uint8* serviceDriver(); // 0x1000 bytes
const juce::uint8* interimImage();  // 0x10000 bytes
} // namespace deviceimages
