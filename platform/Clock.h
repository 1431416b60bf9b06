#pragma once
#include <juce_core/juce_core.h>

namespace platform
{
// Millisecond tick counter that wraps at 32 bits, like the Windows tick count.
// Durations are the unsigned difference of two readings.
juce::uint32 getTickCount();

// Replaces the tick source (tests); nullptr restores the system clock.
using TickSource = juce::uint32 (*)();
void setTickSource(TickSource source);
} // namespace platform
