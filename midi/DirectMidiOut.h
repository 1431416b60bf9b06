#pragma once
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

// Sends one complete message to multimedia output device `deviceId` without
// keeping it open: opens the device (a device that does not open is skipped),
// prepares a header over a copy of the message, sends it as one long message,
// waits a bounded time for the driver to give the header back (then resets the
// device, which returns it at once), releases the header and closes the device.
// Returns true when the driver took the message.
// The device id of the framework's output port `index`: the framework lists,
// in device id order, the devices whose capabilities can be read. -1 when
// there is no such port.
int deviceIdOfListedPort(const MidiOutCalls& calls, int index);

bool sendDirectMidiOut(const MidiOutCalls& calls, unsigned deviceId, const juce::uint8* data, int size);

#if JUCE_WINDOWS
// The table in use: the real API unless a test replaced it (nullptr restores it).
const MidiOutCalls& currentMidiOutCalls();
void setMidiOutCallsForTests(const MidiOutCalls* calls);
#endif
} // namespace midi
