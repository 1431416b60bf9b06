#pragma once
#include <juce_core/juce_core.h>

namespace platform
{
// What the program asks of the machine that tests watch or drive: the
// millisecond clock, making a file durable, and the completion tones. The
// objects that use them are given one; system() is the machine itself.
class Services
{
public:
    virtual ~Services() = default;

    // Milliseconds that wrap at 32 bits (platform::getTickCount).
    virtual juce::uint32 tickCount();
    // Flushes a file's data (or a folder's entries) to disk (platform::syncFileToDisk).
    virtual bool syncToDisk(const juce::File& file);
    // A tone that blocks for its length, and a pause (platform::beep, platform::sleepMs).
    virtual void beep(int frequencyHz, int durationMs);
    virtual void sleepMs(int ms);

    static Services& system();
};
} // namespace platform
