#include "device/SysexCodec.h"
#include <cstring>

namespace sysex
{
namespace
{
int header(uint8* out, uint8 command)
{
    out[0] = kStart;
    out[1] = 0x00;
    out[2] = 0x20;
    out[3] = 0x54;
    out[4] = 0x7D;
    out[5] = command;
    return kHeaderBytes;
}

inline uint8 rotl8(uint8 v, unsigned n)
{
    n &= 7;
    return (uint8)((v << n) | (v >> ((8 - n) & 7)));
}

inline uint8 rotr8(uint8 v, unsigned n)
{
    n &= 7;
    return (uint8)((v >> n) | (v << ((8 - n) & 7)));
}
} // namespace

void encodeWord(uint32 w, uint8 out[4])
{
    out[0] = (uint8)((w >> 21) & 0x7F);
    out[1] = (uint8)((w >> 14) & 0x7F);
    out[2] = (uint8)((w >> 7) & 0x7F);
    out[3] = (uint8)(w & 0x7F);
}

void encodeWordAddress(uint32 byteAddress, uint8 out[4])
{
    encodeWord(byteAddress / 2, out);
}

uint32 decodeWord(const uint8 in[4])
{
    return ((uint32)(in[0] & 0x7F) << 21) | ((uint32)(in[1] & 0x7F) << 14) | ((uint32)(in[2] & 0x7F) << 7) |
           (uint32)(in[3] & 0x7F);
}

int buildAck(uint8* out)
{
    int n = header(out, CmdAck);
    out[n++] = 0x00;
    out[n++] = kEnd;
    return n;
}

int packBytes(const uint8* in, int count, uint8* out)
{
    int n = 0;
    int i = 0;
    // Full groups of 7: data bytes with bit 7 cleared, then the collected high bits.
    for (; i + 7 <= count; i += 7)
    {
        const uint8* g = in + i;
        out[n + 0] = g[0] & 0x7F;
        out[n + 1] = g[1] & 0x7F;
        out[n + 2] = g[2] & 0x7F;
        out[n + 3] = g[3] & 0x7F;
        out[n + 4] = g[4] & 0x7F;
        out[n + 5] = g[5] & 0x7F;
        out[n + 6] = g[6] & 0x7F;
        out[n + 7] = (uint8)(((g[0] >> 7) << 6) | ((g[1] >> 7) << 5) | ((g[2] >> 7) << 4) |
                             ((g[3] >> 7) << 3) | ((g[4] >> 7) << 2) | ((g[5] >> 7) << 1) | (g[6] >> 7));
        n += 8;
    }
    if (i < count)
    {
        uint8 acc = 0;
        for (; i < count; ++i)
        {
            out[n++] = in[i] & 0x7F;
            acc = (uint8)((acc << 1) | (in[i] >> 7));
        }
        out[n++] = acc;
    }
    return n;
}

int buildData(uint8* out, const uint8* block)
{
    int n = header(out, CmdData);
    n += packBytes(block, kBlockSize, out + n);
    out[n++] = kEnd;
    return n;
}

int buildSetAddress(uint8* out, uint32 byteAddress, bool read)
{
    int n = header(out, CmdSetAddress);
    encodeWordAddress(byteAddress, out + n);
    n += 4;
    out[n++] = read ? 0x01 : 0x00;
    out[n++] = kEnd;
    return n;
}

int buildDriverUpload(uint8* out)
{
    int n = header(out, CmdDriverUpload);
    out[n++] = kEnd;
    return n;
}

int buildEraseSectorWord(uint8* out, uint32 wordAddress)
{
    int n = header(out, CmdEraseSector);
    encodeWord(wordAddress, out + n);
    n += 4;
    out[n++] = kEnd;
    return n;
}

int buildTestFlash(uint8* out, int parameter)
{
    int n = header(out, CmdTestFlash);
    out[n++] = (uint8)((parameter >> 7) & 0x7F);
    out[n++] = (uint8)(parameter & 0x7F);
    out[n++] = kEnd;
    return n;
}

int buildIdentify(uint8* out, int portIndex)
{
    int n = header(out, CmdIdentify);
    out[n++] = (uint8)(portIndex & 0x7F);
    out[n++] = 0x01;
    out[n++] = kEnd;
    return n;
}

int unpackPayload(const uint8* payload, int length, uint8* dest, int fill, int capacity)
{
    int pos = 0;
    // Fast path: whole groups of 8 that land entirely inside the buffer.
    while (length - pos >= 8 && fill + 7 <= capacity)
    {
        const uint8* g = payload + pos;
        const uint8 high = g[7];
        uint8* d = dest + fill;
        d[0] = (uint8)(g[0] | ((high << 1) & 0x80));
        d[1] = (uint8)(g[1] | ((high << 2) & 0x80));
        d[2] = (uint8)(g[2] | ((high << 3) & 0x80));
        d[3] = (uint8)(g[3] | ((high << 4) & 0x80));
        d[4] = (uint8)(g[4] | ((high << 5) & 0x80));
        d[5] = (uint8)(g[5] | ((high << 6) & 0x80));
        d[6] = (uint8)(g[6] | ((high << 7) & 0x80));
        pos += 8;
        fill += 7;
    }
    while (pos < length)
    {
        const int g = juce::jmin(8, length - pos);
        const uint8 high = payload[pos + g - 1];
        for (int j = 0; j < g - 1; ++j)
        {
            if (fill + j < capacity)
            {
                uint8 b = payload[pos + j];
                if ((high >> (g - 2 - j)) & 1)
                    b |= 0x80;
                dest[fill + j] = b;
            }
        }
        fill += g - 1;
        pos += g;
    }
    return fill;
}

void blockChecksum(const uint8* block, uint8 out[4])
{
    uint32 a = 0, b = 0;
    for (int group = 0; group < kBlockSize; group += 16)
    {
        const uint8* p = block + group;
        a += rotl8(p[0], 1) + rotl8(p[2], 2) + rotl8(p[4], 3) + rotl8(p[6], 4) + rotl8(p[8], 5) +
             rotl8(p[10], 6) + rotl8(p[12], 7) + p[14];
        b += rotr8(p[1], 1) + rotr8(p[3], 2) + rotr8(p[5], 3) + rotr8(p[7], 4) + rotr8(p[9], 5) +
             rotr8(p[11], 6) + rotr8(p[13], 7) + p[15];
    }
    out[0] = (uint8)(b & 0xFF);
    out[1] = (uint8)((b >> 8) & 0xFF);
    out[2] = (uint8)(a & 0xFF);
    out[3] = (uint8)((a >> 8) & 0xFF);
}

bool checksumMatches(const uint8* blockWithChecksum)
{
    uint8 expected[4];
    blockChecksum(blockWithChecksum, expected);
    return std::memcmp(expected, blockWithChecksum + kBlockSize, 4) == 0;
}

bool accept(const uint8* message, int size, Incoming& out)
{
    if (message == nullptr || size < 2 || message[0] != kStart || message[size - 1] != kEnd)
        return false;
    const uint8* data = message + 1;
    const int length = size - 2;
    if (length < 6)
        return false;
    if (data[0] != 0x00 || data[1] != 0x20 || data[2] != 0x54 || data[3] != 0x7D)
        return false;
    const uint8 command = data[4];
    if (command != ReplyStatus && command != ReplyDataPacket && command != CmdIdentifyReply)
        return false;
    if (command == ReplyDataPacket && length < 8)
        return false;
    out.command = command;
    out.data = data;
    out.length = length;
    return true;
}
} // namespace sysex
