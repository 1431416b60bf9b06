#pragma once
#include "midi/MidiPorts.h"
#include <atomic>
#include <cstddef>
#include <optional>

// Whole messages to a sound card's MIDI port. The sequencer's kernel client
// of a card (a USB-MIDI instrument's, for one) copies each event into the
// card's raw MIDI output buffer at once and drops what does not fit; that
// buffer is a page by default, smaller than the protocol's long messages. The
// card's raw MIDI device instead takes bytes as fast as the device drains
// them, so messages to such a port are written there. The calls go through a
// table so tests can replace them; the logic is plain code every platform
// compiles and tests.
namespace midi
{
// What the system tells of a sequencer port, as far as choosing its path goes.
struct SequencerPortFacts
{
    bool kernelClient = false; // the port belongs to the kernel, not to a program
    int card = -1;             // the sound card of its client; -1: none
    bool hardware = false;     // a port of the card's hardware, not a software port (VirMIDI's)
    int port = 0;              // the port's number in its client
};

// The raw MIDI device behind a port, "hw:CARD,DEVICE,SUBDEVICE", for the
// hardware ports of a card's kernel client, which numbers them
// DEVICE * 32 + SUBDEVICE; nothing for every other port (Midi Through,
// VirMIDI, ports of programs), which the sequencer serves whole.
std::optional<juce::String> rawDeviceOfPort(const SequencerPortFacts& facts);

struct RawMidiCalls
{
    using Handle = void*;
    // Results are 0 or more, or a negative error number (-EBUSY, -ENODEV...).
    int (*open)(Handle* handle, const char* device);                    // an output, not blocking
    long (*write)(Handle handle, const juce::uint8* data, size_t size); // bytes taken; -EAGAIN: no room
    int (*waitForRoom)(Handle handle, int timeoutMs);                   // 1: room, 0: none yet
    int (*unsent)(Handle handle);                                       // bytes the driver has not taken
    int (*drop)(Handle handle);                                         // forgets what was not sent
    // Waits for what is left to be sent, at most 10 s in the kernel: only
    // quick once the device is empty.
    void (*close)(Handle handle);
    void (*sleep)(int ms);
};

// The system's raw MIDI, or nullptr where there is none (not Linux).
const RawMidiCalls* systemRawMidiCalls();

// The facts of the sequencer port the framework names "CLIENT-PORT" (its
// device identifier); nothing when there is no such port or no sequencer.
std::optional<SequencerPortFacts> systemSequencerPort(const juce::String& identifier);

// An open raw MIDI output. A send waits, in steps of `stepMs`, until the
// device has taken the whole message; it fails when the device has failed
// (unplugged), when it took nothing for `stallMs`, or once cancelled.
// Deleting it drops what the device did not send. A device that went away
// (unplugged) cannot be emptied, and closing it waits in the kernel until it
// gives up: it is closed on a thread of its own, so no caller waits for it.
class RawMidiOutputPort final : public OutputPort
{
public:
    RawMidiOutputPort(const RawMidiCalls& calls, RawMidiCalls::Handle handle, juce::String name,
                      int stallMs = 3000, int stepMs = 50);
    ~RawMidiOutputPort() override;

    juce::String getName() const override { return name; }
    bool sendMessageNow(const juce::uint8* data, int size) override;
    void cancelSends() override { cancelled = true; }

private:
    const RawMidiCalls& calls;
    const RawMidiCalls::Handle handle;
    const juce::String name;
    const int stallMs, stepMs;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> gone{false}; // the device failed: unplugged, say
};

// Opens `device` as an output named `name`, the sends on a thread of their
// own (see QueuedOutputPort); nullptr with the error number when it cannot
// be opened (-EBUSY: another program holds it).
std::unique_ptr<OutputPort> openRawMidiOutput(const RawMidiCalls& calls, const juce::String& device,
                                              const juce::String& name, int& error);

// Sends one message to `device` without keeping it open: waits up to
// `drainMs` for the device to send it, then drops what is left and closes.
enum class DirectSend
{
    sent,     // the device took the whole message
    failed,   // it was opened, but failed or took nothing
    notOpened // it could not be opened (another program holds it, say)
};
DirectSend sendRawMidiDirect(const RawMidiCalls& calls, const juce::String& device, const juce::uint8* data,
                             int size, int drainMs = 100);

// The log's word for a card port reached through the sequencer because its
// raw device could not be opened.
juce::String sequencerFallbackNotice(const juce::String& portName, const juce::String& device, int error);
} // namespace midi
