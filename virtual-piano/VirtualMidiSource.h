#pragma once
#include "midi/MidiPorts.h"
#include "virtual-piano/ThreadedPiano.h"
#include <atomic>

namespace midi
{
// In-process virtual pianos as MIDI ports: one input and one output per
// instrument, named "Virtual Piano" (then "Virtual Piano 2", ...).
class VirtualSource final : public Source
{
public:
    // `firstNumber` numbers the instruments across several sources (0: the first).
    VirtualSource(const vp::PianoConfig& config, int firstNumber = 0, bool manual = false);
    ~VirtualSource() override;

    juce::StringArray inputNames() override;
    juce::StringArray outputNames() override;
    std::unique_ptr<InputPort> openInput(int index, InputCallback* callback) override;
    std::unique_ptr<OutputPort> openOutput(int index) override;
    bool sendDirect(int index, const juce::uint8* data, int size) override;

    int instrumentCount() const { return (int)instruments.size(); }
    vp::ThreadedPiano& piano(int index);
    // The cable pulled (false): the ports vanish, nothing reaches the
    // instruments, and an open input reports its instrument lost. Plugged in
    // again (true): the ports are back and the instruments start afresh, as
    // after being switched off and on (the flash keeps what it held).
    void setPlugged(bool plugged);
    bool isPlugged() const { return plugged.load(); }
    // Manual mode: delivers what is pending (at most `limit` messages), on the caller's thread.
    int pump(int limit = 1 << 30);

    struct Instrument;

private:
    std::vector<std::unique_ptr<Instrument>> instruments;
    std::atomic<bool> plugged{true};
};

// The port set named by a list of sources ("system", "virtual", "tcp:HOST:PORT",
// separated by commas), where "virtual" is an in-process piano configured by
// TAMARIND_VIRTUAL_PIANO; and the one TAMARIND_MIDI names.
std::unique_ptr<PortSet> createPortSetFromList(const juce::String& list);
std::unique_ptr<PortSet> createPortSetFromEnvironment();
} // namespace midi
