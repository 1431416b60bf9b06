#pragma once
#include <juce_core/juce_core.h>

namespace platform
{
// Millisecond tick counter that wraps at 32 bits, like the Windows tick count.
// Durations are the unsigned difference of two readings.
juce::uint32 getTickCount();
} // namespace platform
