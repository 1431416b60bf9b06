#pragma once
#include <functional>

namespace platform
{
// Plays a tone and blocks for its length, like the Windows Beep call: a sine
// through the audio output where there is one, else a silent wait.
void beep(int frequencyHz, int durationMs);
// Blocks the calling thread.
void sleepMs(int ms);
} // namespace platform
