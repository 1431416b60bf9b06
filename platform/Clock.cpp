#include "platform/Clock.h"

namespace platform
{
juce::uint32 getTickCount()
{
    return juce::Time::getMillisecondCounter();
}
} // namespace platform
