#pragma once
#include "midi/MidiPorts.h"

namespace midi
{
#if JUCE_WINDOWS
// An input of the Windows multimedia MIDI API of our own, used instead of the
// framework's: the framework queues 32 buffers of 256 bytes, and a driver that
// finds no buffer queued drops what arrives. A read block of the instrument
// comes as a burst of SysEx messages of about 300 bytes, two buffers each,
// faster than the framework's callback gives buffers back (seen under Wine:
// reads timed out again and again). Here every buffer goes back to the driver
// at once, and there are enough for several blocks.
//
// `index` is the framework's list index of the input; null when it does not open.
std::unique_ptr<InputPort> openWinMmInput(int index, const juce::String& name, InputCallback* callback);
#endif
} // namespace midi
