#pragma once
#include <juce_core/juce_core.h>

namespace vp
{
// Everything that shapes the emulated instrument. Parsed from key=value pairs
// separated by commas, for example "flash=S29GL512_S,speed=full,store=/x.bin".
struct PianoConfig
{
    // The chip and its content.
    juce::String flash = "S29GL512_S";
    juce::String store;                // file that persists the flash; empty: memory only
    int chipSelect = 0;                // 1: the chip answers at page 0x400 (second chip select)
    juce::String product = "Tessaro";  // factory image's product name
    juce::String version = "V1.00.00"; // factory image's version text

    // Link behaviour.
    bool fullSpeed = true;        // identify mode byte 0x01 and checksummed read blocks
    bool identifyModeByte = true; // false: the 6-byte identify reply without a mode byte
    int packetBytes = 256;        // data bytes per read packet (before packing)
    bool noAck = false;           // read packets flagged as needing no acknowledgement
    int instruments = 1;          // instruments behind one "virtual" source

    // Timing model (off by default).
    bool timing = false;
    double linkBytesPerMs = 48.0; // SysEx bytes per millisecond each way
    double latencyMs = 1.0;       // one frame each way
    double sectorEraseMs = 275.0;
    double bufferProgramUs = 340.0; // per 512-byte program buffer

    // Faults on demand (message numbers count host messages from 1).
    int silentAfter = -1;           // ignore everything after this many messages
    int dropReply = -1;             // send no reply to this message
    int corruptBlock = -1;          // read request K (from 0) gets a wrong checksum
    bool corruptAlways = false;     // ... and so does every later read of that block
    int status2At = -1;             // answer this message with status 2
    int status3At = -1;             // answer this message with status 3
    juce::int64 cutAfterBytes = -1; // power cut after programming this many bytes
    int cutInErase = -1;            // power cut halfway through this sector erase (from 1)
    juce::int64 silentOnRead = -1;  // fall silent when a read of this byte address is asked for
    int dupAt = -1;                 // answer this message more than once (every reply it causes)
    int dupCopies = 1;              // ... with this many extra copies
    bool dupFromUpload = false;     // ... counting messages from the first driver upload (1 = that one)
    double dupDelayMs = 0;          // ... each this much later than the reply (timing model)
    int identifyFlood = 1;          // identify replies sent for each identify request
    int strayPacketAt = -1;         // after answering this message, send a data packet nobody asked for
    int strayStatusEveryMs = -1;    // an unsolicited status 0 this often, also while idle,
    int strayStatusAfter = 0;       // ... once this many host messages have arrived

    static PianoConfig parse(const juce::String& text, juce::String* error = nullptr);
    static PianoConfig fromEnvironment(); // TAMARIND_VIRTUAL_PIANO
};

// Flash models: name and number of 128 KiB sectors. 0 when unknown.
int sectorCountOfModel(const juce::String& model);
constexpr int kSectorBytes = 0x20000;
} // namespace vp
