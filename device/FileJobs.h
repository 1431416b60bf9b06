#pragma once
#include "platform/Services.h"
#include <juce_core/juce_core.h>

// The device jobs that work on files only: comparing written data with what
// was read back, and creating and removing the lock file.
namespace filejobs
{
enum class CompareOutcome
{
    same,
    sameOneLonger, // equal as far as both go
    differ,
    offsetBeyondEnd
};

// Compares `written` from `offset` on with `readBack`, as far as both go.
CompareOutcome compare(juce::InputStream& written, juce::int64 offset, juce::InputStream& readBack);

// The lock's content, on disk (flushed and synced) before the call returns true.
// Anything but a regular file in its place is refused, with `problem` saying why.
bool createLock(const juce::File& lock, juce::String& problem, platform::Services& services);
constexpr const char* kLockText = "ORV backup lock!";

// Removes the lock; true when it is gone (also when it was never there). A
// folder or a link in its place is no lock and is left alone.
bool removeLock(const juce::File& lock, juce::String& problem, platform::Services& services);
} // namespace filejobs
