#include "platform/Services.h"
#include "platform/Clock.h"
#include "platform/Tones.h"
#include "platform/WorkFolder.h"

namespace platform
{
juce::uint32 Services::tickCount()
{
    return getTickCount();
}

bool Services::syncToDisk(const juce::File& file)
{
    return syncFileToDisk(file);
}

void Services::beep(int frequencyHz, int durationMs)
{
    platform::beep(frequencyHz, durationMs);
}

void Services::sleepMs(int ms)
{
    platform::sleepMs(ms);
}

Services& Services::system()
{
    static Services machine;
    return machine;
}
} // namespace platform
