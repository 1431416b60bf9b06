#pragma once
#include "device/Jobs.h"
#include <vector>

// The whole update as one list of device jobs: a pure function of what it
// writes (the checked image), the driver that writes it and what an earlier,
// interrupted update left behind.

// A range of flash bytes (page 0).
struct Region
{
    juce::int64 start, length;
    constexpr juce::int64 end() const { return start + length; }
};

namespace region
{
constexpr Region imageLow{0, 0x20000};         // the image's first sectors, its version area among them
constexpr Region imageHigh{0x20000, 0x20000};  // the rest of an image of the safe size
constexpr Region data{0x40000, 0x20000};       // the user's data: kept by the safe path
constexpr Region interim{0x40000, 0x10000};    // where the interim program runs while the image is written
constexpr Region zeroPage{0xF000, 0x1000};     // cleared so that the instrument starts the interim program
constexpr Region versionArea{0x1F000, 0x2000}; // read at connection for the instrument's version
// Images up to this size keep the data region (the safe path); larger ones
// overwrite it (the plain path), from `plainRest` on first.
constexpr juce::int64 safeImageLimit = 0x40000;
constexpr juce::int64 plainRest = data.end();
} // namespace region

struct PlanInputs
{
    const juce::uint8* image = nullptr;
    juce::int64 imageSize = 0;
    const juce::uint8* workDriver = nullptr; // the identified flash's driver
    int workDriverLength = 0;
    bool lockPresent = false;  // a lock file: an earlier update was cut off
    bool backupUsable = false; // its backup is a regular file of exactly the data region
    juce::String lockPath, backupPath, readBackPath;
    juce::String regionCheckPath; // a repair reads the piano's data region here first
};

struct UpdatePlan
{
    enum class Path
    {
        safe,   // back up the data region, lock, write, restore, verify, unlock
        repair, // a lock with a usable backup: write, restore from it, verify, unlock
        plain,  // an image larger than the safe size: write and verify everything
        refused // a lock without a usable backup: nothing may be written
    };
    Path path = Path::refused;
    std::vector<OperationRecord> jobs;
};

UpdatePlan makeUpdatePlan(const PlanInputs& in);
