#pragma once
#include "device/FlashLayout.h"
#include "device/Jobs.h"
#include <vector>

// The whole update as one list of device jobs: a pure function of what it
// writes (the checked image), the driver that writes it and what an earlier,
// interrupted update left behind.

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
