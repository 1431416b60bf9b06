#include "virtual-piano/VirtualPiano.h"
#include "device/SysexCodec.h"
#include "update/ImageBuilder.h"
#include "update/UpdateImage.h"
#include <cstring>

namespace vp
{
namespace
{
constexpr int kHeaderNameBytes = 16;

juce::String headerName(const juce::uint8* p)
{
    int n = kHeaderNameBytes;
    while (n > 0 && p[n - 1] == 0xFF)
        --n;
    int end = 0;
    while (end < n && p[end] != 0)
        ++end;
    return juce::String::fromUTF8(reinterpret_cast<const char*>(p), end);
}

bool contains(const std::vector<juce::uint8>& data, const char* tag)
{
    const size_t n = std::strlen(tag);
    if (data.size() < n)
        return false;
    for (size_t i = 0; i + n <= data.size(); ++i)
        if (std::memcmp(data.data() + i, tag, n) == 0)
            return true;
    return false;
}
} // namespace

void VirtualPiano::fillDataRegion(juce::uint8* dest, size_t size)
{
    // Lines of readable text with their own offset, so any misplaced or lost
    // byte of the user's data region is easy to spot.
    char line[40];
    for (size_t at = 0; at < size; at += 32)
    {
        std::snprintf(line, sizeof(line), "TESSARO USER DATA @%05X ......\n", (unsigned)at);
        std::memcpy(dest + at, line, juce::jmin<size_t>(32, size - at));
    }
}

void VirtualPiano::writeFactoryContent(juce::uint8* f, size_t size, const PianoConfig& c)
{
    std::memset(f, 0xFF, size);
    image::ImageSpec rom;
    rom.version = c.version;
    rom.productName = c.product;
    rom.size = image::kSafeImageSize;
    rom.fill = "random:1201";
    auto img = image::buildUpdateImage(rom);
    std::memcpy(f, img.getData(), juce::jmin(size, img.getSize()));
    if (size >= kDataRegionStart + kDataRegionSize)
        fillDataRegion(f + kDataRegionStart, kDataRegionSize);
}

VirtualPiano::VirtualPiano(PianoConfig config) : cfg(std::move(config))
{
    const int sectors = juce::jmax(1, sectorCountOfModel(cfg.flash));
    flashBytes = (size_t)sectors * kSectorBytes;
    out.reserve(8192);

    if (cfg.store.isNotEmpty())
    {
        juce::File file(cfg.store);
        const bool fresh = !file.existsAsFile() || file.getSize() != (juce::int64)flashBytes;
        if (fresh)
        {
            file.deleteFile();
            juce::FileOutputStream os(file);
            if (os.openedOk())
            {
                std::vector<juce::uint8> content(flashBytes);
                writeFactoryContent(content.data(), content.size(), cfg);
                os.write(content.data(), content.size());
            }
        }
        mapped = std::make_unique<juce::MemoryMappedFile>(file, juce::MemoryMappedFile::readWrite, false);
        if (mapped->getData() != nullptr && mapped->getSize() == flashBytes)
            flash = static_cast<juce::uint8*>(mapped->getData());
        else
            mapped.reset();
    }
    if (flash == nullptr)
    {
        memory.resize(flashBytes);
        writeFactoryContent(memory.data(), memory.size(), cfg);
        flash = memory.data();
    }
}

VirtualPiano::~VirtualPiano() = default;

int VirtualPiano::statusFor(int normal) const
{
    if (received == cfg.status2At)
        return 2;
    if (received == cfg.status3At)
        return 3;
    return normal;
}

void VirtualPiano::sendStatus(const ReplySink& reply, int status, double busyMs)
{
    if (received == cfg.dropReply)
        return;
    const juce::uint8 msg[] = {0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, (juce::uint8)(statusFor(status) & 0x7F),
                               0xF7};
    reply(msg, (int)sizeof(msg), busyMs);
}

void VirtualPiano::sendIdentifyReply(const ReplySink& reply, int index)
{
    if (received == cfg.dropReply)
        return;
    juce::uint8 msg[9] = {0xF0, 0x00, 0x20, 0x54, 0x7D, sysex::CmdIdentifyReply, (juce::uint8)(index & 0x7F)};
    int n = 7;
    if (cfg.identifyModeByte)
        msg[n++] = cfg.fullSpeed ? sysex::kFullSpeedMode : 0x00;
    msg[n++] = 0xF7;
    for (int k = 0; k < juce::jmax(1, cfg.identifyFlood); ++k)
        reply(msg, n, 0.0);
}

juce::int64 VirtualPiano::chipOffset(juce::uint32 address, juce::uint32 count) const
{
    const juce::int64 chipBase = cfg.chipSelect == 1 ? (juce::int64)0x400 * 0x20000 : 0;
    const juce::int64 offset = (juce::int64)address - chipBase;
    if (offset < 0 || offset + count > (juce::int64)flashBytes)
        return -1;
    return offset;
}

bool VirtualPiano::driverAllowsFlashWork() const
{
    return driverLoaded && (driverIsService || driverFlashName == cfg.flash);
}

void VirtualPiano::receive(const juce::uint8* message, int size, const ReplySink& reply)
{
    if (dead)
        return;
    ++received;
    if (cfg.silentAfter >= 0 && received > cfg.silentAfter)
    {
        dead = true;
        return;
    }
    if (firstUploadAt == 0 && size > 5 && message[5] == sysex::CmdDriverUpload)
        firstUploadAt = received;
    const int numbered = !cfg.dupFromUpload ? received : firstUploadAt > 0 ? received - firstUploadAt + 1 : 0;
    const ReplySink counted = [&](const juce::uint8* data, int n, double busyMs)
    {
        ++replies;
        reply(data, n, busyMs);
        if (numbered == cfg.dupAt)
            for (int k = 0; k < cfg.dupCopies; ++k)
            {
                ++replies;
                reply(data, n, cfg.dupDelayMs);
            }
    };
    handle(message, size, counted);
    if (received == cfg.strayPacketAt && !dead)
        sendStrayPacket(counted);
}

void VirtualPiano::powerOn()
{
    dead = false;
    mode = Mode::idle;
    driver.clear();
    driverLoaded = false;
    driverIsService = false;
    cfg.silentAfter = -1;
    cfg.cutAfterBytes = -1;
    cfg.cutInErase = -1;
    cfg.silentOnRead = -1;
}

void VirtualPiano::sendStrayStatus(const ReplySink& reply)
{
    if (dead || received < cfg.strayStatusAfter)
        return;
    ++replies;
    const juce::uint8 msg[] = {0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x00, 0xF7};
    reply(msg, (int)sizeof(msg), 0.0);
}

// A data packet of 35 bytes of 0x55 that answers nothing.
void VirtualPiano::sendStrayPacket(const ReplySink& reply)
{
    juce::uint8 data[35];
    std::memset(data, 0x55, sizeof(data));
    juce::uint8 m[64] = {0xF0, 0x00, 0x20, 0x54, 0x7D, sysex::ReplyDataPacket, 0x00};
    int n = 7 + sysex::packBytes(data, (int)sizeof(data), m + 7);
    m[n++] = 0xF7;
    reply(m, n, 0.0);
}

void VirtualPiano::handle(const juce::uint8* message, int size, const ReplySink& reply)
{
    if (size < 7 || message[0] != 0xF0 || message[size - 1] != 0xF7 || message[1] != 0x00 ||
        message[2] != 0x20 || message[3] != 0x54 || message[4] != 0x7D)
        return;

    const juce::uint8* params = message + 6;
    const int paramCount = size - 7;
    switch (message[5])
    {
    case sysex::CmdIdentify:
        if (paramCount >= 1)
            sendIdentifyReply(reply, params[0]);
        break;

    case sysex::CmdDriverUpload:
        mode = Mode::driverUpload;
        driver.clear();
        driverLoaded = false;
        break;

    case sysex::CmdSetAddress:
        if (paramCount < 5)
            return;
        if (params[4] == 0x01)
            startRead(sysex::decodeWord(params) * 2, reply);
        else
        {
            mode = Mode::programming;
            writeAddress = sysex::decodeWord(params) * 2;
        }
        break;

    case sysex::CmdData:
        handleData(params, paramCount, reply);
        break;

    case sysex::CmdEraseSector:
        if (paramCount >= 4)
            eraseSector(sysex::decodeWord(params) * 2, reply);
        break;

    case sysex::CmdTestFlash:
    {
        mode = Mode::idle;
        const bool passes = driverLoaded && (driverIsService || driverFlashName == cfg.flash);
        sendStatus(reply, passes ? 0 : 1, 0.0);
        break;
    }

    case sysex::CmdAck:
        if (mode == Mode::reading && received != cfg.dropReply)
            sendNextPacket(reply);
        break;

    default:
        break;
    }
}

void VirtualPiano::eraseSector(juce::uint32 address, const ReplySink& reply)
{
    const juce::int64 at = chipOffset(address, kSectorBytes);
    mode = Mode::idle;
    if (!driverAllowsFlashWork() || at < 0 || at % kSectorBytes != 0)
    {
        sendStatus(reply, 1, 0.0);
        return;
    }
    if (++erases == cfg.cutInErase)
    {
        // Power gone halfway through the erase: half the sector is erased.
        std::memset(flash + at, 0xFF, kSectorBytes / 2);
        dead = true;
        return;
    }
    std::memset(flash + at, 0xFF, kSectorBytes);
    sendStatus(reply, 0, cfg.timing ? cfg.sectorEraseMs : 0.0);
}

void VirtualPiano::handleData(const juce::uint8* packed, int length, const ReplySink& reply)
{
    juce::uint8 block[sysex::kBlockSize + 8];
    const int got = sysex::unpackPayload(packed, length, block, 0, (int)sizeof(block));
    if (got < sysex::kBlockSize)
    {
        sendStatus(reply, 1, 0.0);
        return;
    }

    if (mode == Mode::driverUpload)
    {
        driver.insert(driver.end(), block, block + sysex::kBlockSize);
        // Header: sector table from offset 16 up to a zero word, then the names.
        driverLoaded = false;
        for (size_t at = 16; at + 4 + 2 * kHeaderNameBytes <= driver.size(); at += 4)
        {
            if (driver[at] == 0 && driver[at + 1] == 0 && driver[at + 2] == 0 && driver[at + 3] == 0)
            {
                driverMcuName = headerName(driver.data() + at + 4);
                driverFlashName = headerName(driver.data() + at + 4 + kHeaderNameBytes);
                driverLoaded = true;
                break;
            }
        }
        driverIsService = contains(driver, "TMRD SERVICE DRIVER");
        if (driver.size() == sysex::kBlockSize)
        {
            ++uploads;
            uploadedNames.add(driverFlashName);
        }
        sendStatus(reply, 0, 0.0);
        return;
    }

    const juce::int64 at = chipOffset(writeAddress, sysex::kBlockSize);
    if (mode != Mode::programming || !driverAllowsFlashWork() || at < 0)
    {
        sendStatus(reply, 1, 0.0);
        return;
    }

    int count = sysex::kBlockSize;
    bool cut = false;
    if (cfg.cutAfterBytes >= 0 && programmedBytes + count > cfg.cutAfterBytes)
    {
        count = (int)juce::jmax<juce::int64>(0, cfg.cutAfterBytes - programmedBytes);
        cut = true;
    }
    // NOR programming only clears bits.
    juce::uint8* dest = flash + at;
    for (int i = 0; i < count; ++i)
        dest[i] &= block[i];
    programmedBytes += count;
    writeAddress += sysex::kBlockSize;
    if (cut)
    {
        dead = true; // power gone: nothing more is answered
        return;
    }
    sendStatus(reply, 0, cfg.timing ? cfg.bufferProgramUs * (sysex::kBlockSize / 512) / 1000.0 : 0.0);
}

void VirtualPiano::startRead(juce::uint32 address, const ReplySink& reply)
{
    if ((juce::int64)address == cfg.silentOnRead)
    {
        dead = true;
        return;
    }
    mode = Mode::reading;
    const juce::int64 at = chipOffset(address, sysex::kBlockSize);
    if (!driverAllowsFlashWork() || at < 0)
    {
        mode = Mode::idle;
        sendStatus(reply, 1, 0.0);
        return;
    }
    if (received == cfg.status2At || received == cfg.status3At)
    {
        // The instrument answers the read request with a status instead of data.
        mode = Mode::idle;
        sendStatus(reply, 0, 0.0);
        return;
    }
    std::memcpy(readBlock, flash + at, sysex::kBlockSize);
    readLength = sysex::kBlockSize;
    // An instrument that sends no mode byte runs at high speed: no checksum.
    if (cfg.fullSpeed && cfg.identifyModeByte)
    {
        sysex::blockChecksum(readBlock, readBlock + sysex::kBlockSize);
        const bool corruptNow =
            readRequests == cfg.corruptBlock || (cfg.corruptAlways && (juce::int64)address == corruptAddress);
        if (readRequests == cfg.corruptBlock)
            corruptAddress = address;
        if (corruptNow)
            readBlock[sysex::kBlockSize] ^= 0x5A;
        readLength = sysex::kChecksummedBlockSize;
    }
    ++readRequests;
    readPos = 0;
    if (received == cfg.dropReply)
    {
        mode = Mode::idle;
        return;
    }
    if (cfg.noAck)
        while (mode == Mode::reading)
            sendNextPacket(reply);
    else
        sendNextPacket(reply);
}

void VirtualPiano::sendNextPacket(const ReplySink& reply)
{
    if (readPos >= readLength)
    {
        mode = Mode::idle;
        return;
    }
    const int count = juce::jmin(cfg.packetBytes, readLength - readPos);
    out.resize(7 + (size_t)count + (size_t)count / 7 + 2);
    juce::uint8* m = out.data();
    m[0] = 0xF0;
    m[1] = 0x00;
    m[2] = 0x20;
    m[3] = 0x54;
    m[4] = 0x7D;
    m[5] = sysex::ReplyDataPacket;
    m[6] = cfg.noAck ? sysex::kNoAckFlag : 0x00;
    int n = 7 + sysex::packBytes(readBlock + readPos, count, m + 7);
    m[n++] = 0xF7;
    readPos += count;
    if (readPos >= readLength)
        mode = Mode::idle;
    reply(m, n, 0.0);
}
} // namespace vp
