#include "device/SysexCodec.h"
#include <gtest/gtest.h>
#include <numeric>
#include <vector>

using Bytes = std::vector<juce::uint8>;

namespace
{
Bytes built(int (*fn)(juce::uint8*))
{
    juce::uint8 buf[sysex::kFrameBufferSize];
    return Bytes(buf, buf + fn(buf));
}

template <typename Fn> Bytes build(Fn fn)
{
    std::vector<juce::uint8> buf(sysex::kFrameBufferSize);
    const int n = fn(buf.data());
    buf.resize((size_t)n);
    return buf;
}

Bytes word(juce::uint32 byteAddress)
{
    juce::uint8 w[4];
    sysex::encodeWordAddress(byteAddress, w);
    return Bytes(w, w + 4);
}
} // namespace

TEST(SysexCodec, WordAddressesOfTheWorkedExamples)
{
    EXPECT_EQ(word(0x1F000), (Bytes{0x00, 0x03, 0x70, 0x00}));
    EXPECT_EQ(word(0x400 * 0x20000 + 0x20000), (Bytes{0x20, 0x04, 0x00, 0x00}));
    EXPECT_EQ(word(0), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(word(0x40000), (Bytes{0x00, 0x08, 0x00, 0x00}));
    // 28 bits of word address round-trip.
    juce::uint8 w[4];
    sysex::encodeWord(0x0ABCDEF1 & 0x0FFFFFFF, w);
    EXPECT_EQ(sysex::decodeWord(w), 0x0ABCDEF1u & 0x0FFFFFFFu);
}

TEST(SysexCodec, HostCommandsMatchTheTypicalExchanges)
{
    EXPECT_EQ(build([](auto* b) { return sysex::buildIdentify(b, 2); }),
              (Bytes{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x08, 0x02, 0x01, 0xF7}));
    EXPECT_EQ(built(sysex::buildDriverUpload), (Bytes{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x03, 0xF7}));
    EXPECT_EQ(build([](auto* b) { return sysex::buildTestFlash(b, 0); }),
              (Bytes{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x05, 0x00, 0x00, 0xF7}));
    EXPECT_EQ(build([](auto* b) { return sysex::buildTestFlash(b, 0x3FFF); }),
              (Bytes{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x05, 0x7F, 0x7F, 0xF7}));
    EXPECT_EQ(build([](auto* b) { return sysex::buildEraseSectorWord(b, 0x20000 / 2); }),
              (Bytes{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x04, 0x00, 0x04, 0x00, 0x00, 0xF7}));
    EXPECT_EQ(build([](auto* b) { return sysex::buildSetAddress(b, 0x20000, false); }),
              (Bytes{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0xF7}));
    EXPECT_EQ(build([](auto* b) { return sysex::buildSetAddress(b, 0x20000, true); }),
              (Bytes{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x02, 0x00, 0x04, 0x00, 0x00, 0x01, 0xF7}));
    EXPECT_EQ(built(sysex::buildAck), (Bytes{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x00, 0xF7}));
}

TEST(SysexCodec, PackingExampleAndDataMessageShape)
{
    const juce::uint8 in[] = {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF};
    juce::uint8 out[16];
    const int n = sysex::packBytes(in, 8, out);
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x40, 0x7F, 0x01}));

    Bytes block(sysex::kBlockSize);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = (juce::uint8)(i * 37 + (i >> 8));
    const auto msg = build([&](auto* b) { return sysex::buildData(b, block.data()); });
    ASSERT_EQ(msg.size(), 4689u);
    EXPECT_EQ(Bytes(msg.begin(), msg.begin() + 6), (Bytes{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x01}));
    EXPECT_EQ(msg.back(), 0xF7);
    for (size_t i = 1; i + 1 < msg.size(); ++i)
        ASSERT_LT(msg[i], 0x80) << "byte " << i;
    // The final group holds one data byte and its high bit in bit 0.
    EXPECT_EQ(msg[msg.size() - 3], block[4095] & 0x7F);
    EXPECT_EQ(msg[msg.size() - 2], block[4095] >> 7);

    // Unpacking the payload gives the block back.
    Bytes back(sysex::kBlockSize + 4);
    const int fill =
        sysex::unpackPayload(msg.data() + 6, (int)msg.size() - 7, back.data(), 0, (int)back.size());
    EXPECT_EQ(fill, sysex::kBlockSize);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), back.begin()));
}

TEST(SysexCodec, UnpackUsesShortFinalGroupsAndNeverWritesPastTheBuffer)
{
    // A 3-byte payload is 2 data bytes and their high bits (bit 1, bit 0).
    const juce::uint8 payload[] = {0x12, 0x34, 0x02};
    juce::uint8 dest[8] = {};
    EXPECT_EQ(sysex::unpackPayload(payload, 3, dest, 0, 8), 2);
    EXPECT_EQ(dest[0], 0x92);
    EXPECT_EQ(dest[1], 0x34);

    // Packets that end mid-way through a group continue at the fill position.
    Bytes data(100);
    std::iota(data.begin(), data.end(), 100);
    Bytes packed(200);
    const int plen = sysex::packBytes(data.data(), 100, packed.data());
    Bytes out(120);
    int fill = 0;
    for (int at = 0; at < plen; at += 24) // packets of 3 whole groups
        fill = sysex::unpackPayload(packed.data() + at, std::min(24, plen - at), out.data(), fill, 120);
    EXPECT_EQ(fill, 100);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));

    // Bytes beyond the capacity are dropped; the fill still counts them.
    juce::uint8 small[10];
    std::fill(std::begin(small), std::end(small), 0xEE);
    Bytes many(16, 0x01);
    Bytes manyPacked(32);
    const int mlen = sysex::packBytes(many.data(), 16, manyPacked.data());
    EXPECT_EQ(sysex::unpackPayload(manyPacked.data(), mlen, small, 0, 9), 16);
    EXPECT_EQ(small[8], 0x01);
    EXPECT_EQ(small[9], 0xEE);
}

TEST(SysexCodec, ReadChecksumExamples)
{
    juce::uint8 sum[4];
    Bytes block(sysex::kBlockSize, 0x00);
    sysex::blockChecksum(block.data(), sum);
    EXPECT_EQ(Bytes(sum, sum + 4), (Bytes{0x00, 0x00, 0x00, 0x00}));

    std::fill(block.begin(), block.end(), 0x01);
    sysex::blockChecksum(block.data(), sum);
    EXPECT_EQ(Bytes(sum, sum + 4), (Bytes{0x00, 0xFF, 0x00, 0xFF}));

    for (size_t i = 0; i < block.size(); ++i)
        block[i] = (juce::uint8)i;
    sysex::blockChecksum(block.data(), sum);
    EXPECT_EQ(Bytes(sum, sum + 4), (Bytes{0x00, 0xEB, 0x00, 0x1D}));

    block.resize(sysex::kChecksummedBlockSize);
    std::copy(sum, sum + 4, block.begin() + sysex::kBlockSize);
    EXPECT_TRUE(sysex::checksumMatches(block.data()));
    block[100] ^= 0x10;
    EXPECT_FALSE(sysex::checksumMatches(block.data()));
}

TEST(SysexCodec, AcceptanceRule)
{
    sysex::Incoming in;
    const Bytes status{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x02, 0xF7};
    ASSERT_TRUE(sysex::accept(status.data(), (int)status.size(), in));
    EXPECT_EQ(in.length, 6);
    EXPECT_EQ(in.command, 0x00);
    EXPECT_EQ(in.data[5], 0x02);

    const Bytes otherLink{0xF0, 0x00, 0x20, 0x54, 0x7E, 0x00, 0x00, 0xF7};
    EXPECT_FALSE(sysex::accept(otherLink.data(), (int)otherLink.size(), in));
    const Bytes otherCommand{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x02, 0x00, 0xF7};
    EXPECT_FALSE(sysex::accept(otherCommand.data(), (int)otherCommand.size(), in));
    const Bytes tooShort{0xF0, 0x00, 0x20, 0x54, 0x7D, 0xF7};
    EXPECT_FALSE(sysex::accept(tooShort.data(), (int)tooShort.size(), in));
    const Bytes noEnd{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x00};
    EXPECT_FALSE(sysex::accept(noEnd.data(), (int)noEnd.size(), in));
    EXPECT_FALSE(sysex::accept(nullptr, 0, in));

    // Data packets need 8 bytes between F0 and F7.
    const Bytes shortPacket{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x01, 0x00, 0x12, 0xF7};
    EXPECT_FALSE(sysex::accept(shortPacket.data(), (int)shortPacket.size(), in));
    const Bytes packet{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x01, 0x00, 0x12, 0x00, 0xF7};
    EXPECT_TRUE(sysex::accept(packet.data(), (int)packet.size(), in));

    // An identify reply without a mode byte is still an identify reply.
    const Bytes identify6{0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, 0x03, 0xF7};
    ASSERT_TRUE(sysex::accept(identify6.data(), (int)identify6.size(), in));
    EXPECT_EQ(in.length, 6);
}
