#pragma once
#include <functional>

namespace platform
{
// Plays a tone and blocks for its length, like the Windows Beep call: a sine
// through the audio output where there is one, else a silent wait.
void beep(int frequencyHz, int durationMs);
// Blocks the calling thread.
void sleepMs(int ms);

// Tests replace the tone output to read the tones requested (a frequency of 0
// stands for a pause). nullptr restores the real output.
void setToneHook(std::function<void(int frequencyHz, int durationMs)> hook);
} // namespace platform
