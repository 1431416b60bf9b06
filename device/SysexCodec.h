#pragma once
#include <juce_core/juce_core.h>

// The instrument's SysEx wire format: frame, command set, word addresses,
// 7-bit packing of 8-bit data and the checksum of full-speed read blocks.
namespace sysex
{
using juce::uint32;
using juce::uint8;

constexpr uint8 kStart = 0xF0;
constexpr uint8 kEnd = 0xF7;
constexpr uint8 kManufacturer[3] = {0x00, 0x20, 0x54};
constexpr uint8 kLinkId = 0x7D;
constexpr int kHeaderBytes = 6; // F0 00 20 54 7D command

enum HostCommand : uint8
{
    CmdAck = 0x00,
    CmdData = 0x01,
    CmdSetAddress = 0x02,
    CmdDriverUpload = 0x03,
    CmdEraseSector = 0x04,
    CmdTestFlash = 0x05,
    CmdIdentify = 0x08,
};

enum ReplyCommand : uint8
{
    ReplyStatus = 0x00,
    ReplyDataPacket = 0x01,
    CmdIdentifyReply = 0x09,
};

constexpr int kBlockSize = 4096;
constexpr int kChecksummedBlockSize = 4100;
constexpr int kDataMessageSize = 4689;
constexpr int kFrameBufferSize = 8192;
constexpr uint8 kNoAckFlag = 0x01;
constexpr uint8 kFullSpeedMode = 0x01;

// Word address of a byte address, most significant 7 bits first (28 bits).
void encodeWordAddress(uint32 byteAddress, uint8 out[4]);
void encodeWord(uint32 wordAddress, uint8 out[4]);
uint32 decodeWord(const uint8 in[4]);

// Builders write one complete message into `out` and return its length.
// `out` must hold kFrameBufferSize bytes.
int buildAck(uint8* out);
int buildData(uint8* out, const uint8* block); // block: kBlockSize bytes
int buildSetAddress(uint8* out, uint32 byteAddress, bool read);
int buildDriverUpload(uint8* out);
int buildEraseSectorWord(uint8* out, uint32 wordAddress);
int buildTestFlash(uint8* out, int parameter);
int buildIdentify(uint8* out, int portIndex);

// Packs `count` bytes as groups of 7 plus a high-bit byte; returns bytes written.
int packBytes(const uint8* in, int count, uint8* out);

// Unpacks a packet payload into `dest` starting at `fill`, taking groups of
// g = min(8, remaining) bytes. Bytes that would land at or beyond `capacity`
// are dropped. Returns the new fill position (it may exceed `capacity`, which
// marks an overshooting block).
int unpackPayload(const uint8* payload, int length, uint8* dest, int fill, int capacity);

// The 4 checksum bytes of a 4096-byte block.
void blockChecksum(const uint8* block, uint8 out[4]);
// True when the 4 bytes after the block match its checksum.
bool checksumMatches(const uint8* blockWithChecksum);

// An accepted incoming message. `data` points at the byte after 0xF0;
// `length` counts the bytes between 0xF0 and 0xF7.
struct Incoming
{
    uint8 command = 0;
    const uint8* data = nullptr;
    int length = 0;
};

// Acceptance rule: a complete F0 ... F7 message, at least 6 bytes between them,
// the header 00 20 54 7D, command 0x00, 0x01 or 0x09; data packets need at
// least 8 bytes. Anything else is dropped.
bool accept(const uint8* message, int size, Incoming& out);
} // namespace sysex
