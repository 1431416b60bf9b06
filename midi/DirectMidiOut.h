#pragma once
#include "midi/MidiPorts.h"
#include <atomic>
#include <cstdint>
#include <juce_core/juce_core.h>

// The identify path that bypasses the framework: before any instrument has
// answered, a scan sends its identify request straight through the Windows
// multimedia MIDI output API. The calls go through a table so tests can replace
// them; the sequence itself is plain code that every platform compiles and tests.
namespace midi
{
struct MidiOutCalls
{
    using Handle = std::uintptr_t;

    // A long message as the driver sees it; `system` holds the driver's own
    // header between prepare and unprepare.
    struct Header
    {
        char* data = nullptr;
        unsigned length = 0;
        alignas(std::max_align_t) unsigned char system[192] = {};
    };

    // Result codes are the API's own: 0 for success.
    static constexpr unsigned kOk = 0;
    static constexpr unsigned kStillPlaying = 65; // MIDIERR_STILLPLAYING

    unsigned (*getNumDevs)();                                   // midiOutGetNumDevs (a count)
    unsigned (*getDevCaps)(unsigned deviceId);                  // midiOutGetDevCapsW
    unsigned (*open)(Handle* handle, unsigned deviceId);        // midiOutOpen, no callback
    unsigned (*prepareHeader)(Handle handle, Header* header);   // midiOutPrepareHeader
    unsigned (*longMsg)(Handle handle, Header* header);         // midiOutLongMsg
    unsigned (*unprepareHeader)(Handle handle, Header* header); // midiOutUnprepareHeader
    unsigned (*reset)(Handle handle);                           // midiOutReset
    unsigned (*close)(Handle handle);                           // midiOutClose
    void (*sleep)(int ms);                                      // Sleep
};

// The device id of the framework's output port `index`: the framework lists,
// in device id order, the devices whose capabilities can be read. -1 when
// there is no such port.
int deviceIdOfListedPort(const MidiOutCalls& calls, int index);

// One long message through an open device: prepares `header` (its data and
// length set by the caller), sends it, and waits, a millisecond at a time,
// for the driver to give it back. After `limitMs`, or once `cancelled` is
// set, the device is reset, which gives it back at once, so the buffer is
// never freed while the driver still reads it.
enum class LongMessage
{
    sent,     // the driver took it and gave the header back
    refused,  // the header was not prepared, or the driver refused the message
    cutShort, // the driver still held it at the limit: the device was reset
};
LongMessage sendLongMessage(const MidiOutCalls& calls, MidiOutCalls::Handle handle,
                            MidiOutCalls::Header& header, int limitMs,
                            const std::atomic<bool>* cancelled = nullptr);

// Sends one complete message to multimedia output device `deviceId` without
// keeping it open: opens the device (a device that does not open is skipped),
// sends a copy of the message as one long message with a short limit,
// releases the header and closes the device. Returns true when the driver
// took the message.
bool sendDirectMidiOut(const MidiOutCalls& calls, unsigned deviceId, const juce::uint8* data, int size);

// An output of the multimedia API kept open, for the paired instrument: each
// message is one long message, and a send waits until the driver has sent
// it (a USB piano drains a block in about 100 ms, a 31.25 kbaud cable in
// 1.5 s), at most `limitMs`. The sends run on a thread of their own (see
// QueuedOutputPort), so no MIDI callback and no lock waits for the driver.
// `index` is the framework's list index; null when the device does not open.
std::unique_ptr<OutputPort> openWinMmOutput(const MidiOutCalls& calls, int index, const juce::String& name,
                                            int limitMs = 10000);

#if JUCE_WINDOWS
// The table in use: the real API unless a test replaced it (nullptr restores it).
const MidiOutCalls& currentMidiOutCalls();
void setMidiOutCallsForTests(const MidiOutCalls* calls);
#endif
} // namespace midi
