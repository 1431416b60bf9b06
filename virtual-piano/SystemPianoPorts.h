#pragma once
#include "virtual-piano/ThreadedPiano.h"
#include <juce_audio_devices/juce_audio_devices.h>
#include <memory>

namespace vp
{
// Makes an emulated instrument a MIDI device of this computer: one input and
// one output port of the system's MIDI (an ALSA sequencer client on Linux, a
// virtual source and destination on macOS), both named `name`, which any
// program sees as it would a piano plugged in by USB. The ports exist while
// this object lives; deleting it is unplugging the instrument.
class SystemPianoPorts final : private juce::MidiInputCallback
{
public:
    SystemPianoPorts(ThreadedPiano& piano, const juce::String& name);
    ~SystemPianoPorts() override;

    // False when the system cannot create ports (no sequencer, or a system
    // whose MIDI has no ports of programs, as on Windows).
    bool start();
    juce::String name() const { return portName; }

private:
    void handleIncomingMidiMessage(juce::MidiInput*, const juce::MidiMessage& message) override;

    ThreadedPiano& piano;
    const juce::String portName;
    std::unique_ptr<juce::MidiOutput> output;
    std::unique_ptr<juce::MidiInput> input;
};
} // namespace vp
