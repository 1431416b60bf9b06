#pragma once
#include "device/DriverImages.h"
#include <vector>

// Flash range arithmetic: which sectors an erase covers and how many bytes
// the programming after it writes. Pure functions over a sector table.
namespace flashrange
{
constexpr juce::int64 kPageBytes = 0x20000; // one chip-select page step

juce::int64 flashSize(const std::vector<SectorInfo>& sectors);

// The word address that starts `sector` on `page`, as an erase request carries it.
juce::uint32 sectorWordAddress(const std::vector<SectorInfo>& sectors, int page, int sector);

struct EraseRequest
{
    int page = 0;
    juce::int64 flashOffset = 0; // bytes, from the start of the page
    juce::int64 length = 0;      // bytes to program; 0 or more than there is: all the data
    juce::int64 fileOffset = 0;  // bytes into the data
    juce::int64 dataLength = 0;  // bytes of data there are
};

enum class EraseError
{
    none,
    offsetNotAtSectorStart, // "Flash offset must at the start of one sector!"
    fileOffsetBeyondData,   // "File offset is beyond the end of the data."
    emptyRange              // "Something wrong in program..."
};

struct ErasePlan
{
    EraseError error = EraseError::none;
    int firstSector = 0, endSector = 0; // sectors [first, end) are erased
    juce::int64 programLength = 0;      // bytes the programming after the erase writes
    bool cutAtFlashEnd = false;         // the range ran past the end of the flash
    bool reportLength = false;          // the length differs from the one asked for
};

// The erase grows to whole sectors: it starts at the sector that begins at the
// flash offset and ends at the first sector boundary at or after the end of
// the data to program, or at the end of the flash.
ErasePlan planErase(const std::vector<SectorInfo>& sectors, const EraseRequest& request);
} // namespace flashrange
