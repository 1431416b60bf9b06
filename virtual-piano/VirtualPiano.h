#pragma once
#include "device/FlashLayout.h"
#include "virtual-piano/PianoConfig.h"
#include <functional>
#include <memory>
#include <vector>

namespace vp
{
// The instrument's firmware stand-in: answers the SysEx protocol as the real
// controller would. It is single-threaded; the transports around it
// (ThreadedPiano, the TCP server) feed it one host message at a time.
class VirtualPiano final
{
public:
    // Receives each reply; `busyMs` is the modelled time the instrument spends
    // before the reply leaves (flash work), 0 without the timing model.
    using ReplySink = std::function<void(const juce::uint8* data, int size, double busyMs)>;

    explicit VirtualPiano(PianoConfig config);
    ~VirtualPiano();

    // Handles one complete host message (F0 ... F7).
    void receive(const juce::uint8* message, int size, const ReplySink& reply);

    const PianoConfig& config() const { return cfg; }
    juce::uint8* flashData() { return flash; }
    size_t flashSize() const { return flashBytes; }
    int messagesReceived() const { return received; }
    bool isDead() const { return dead; }
    int driverUploads() const { return uploads; }
    // The cable is pulled: nothing more is answered.
    void fallSilent() { dead = true; }
    // Switched on again: nothing uploaded, nothing half done, and the faults
    // that silenced it are gone; the flash keeps what it held.
    void powerOn();
    // Faults set while running: fall silent after `count` host messages in all
    // (counted from 1, as `messagesReceived`); lose power after `bytes` programmed in all.
    void setSilentAfter(int count) { cfg.silentAfter = count; }
    void setCutAfterBytes(juce::int64 bytes) { cfg.cutAfterBytes = bytes; }
    juce::int64 bytesProgrammed() const { return programmedBytes; }
    // Lose power halfway through sector erase number `count` in all (from 1).
    void setCutInErase(int count) { cfg.cutInErase = count; }
    int sectorErases() const { return erases; }
    // More faults set while running, numbered as in PianoConfig.
    void setDropReply(int message) { cfg.dropReply = message; }
    void setStatus2At(int message) { cfg.status2At = message; }
    void setStatus3At(int message) { cfg.status3At = message; }
    void setCorruptBlock(int readRequest, bool always)
    {
        cfg.corruptBlock = readRequest;
        cfg.corruptAlways = always;
    }
    int readRequestsSoFar() const { return readRequests; }
    // Replies nobody asked for, set while running (numbered as in PianoConfig).
    void setDuplicateReplies(int message, int extraCopies)
    {
        cfg.dupAt = message;
        cfg.dupCopies = extraCopies;
    }
    void setIdentifyFlood(int repliesPerRequest) { cfg.identifyFlood = repliesPerRequest; }
    void setStrayPacketAt(int message) { cfg.strayPacketAt = message; }
    // An unsolicited status 0, as a confused firmware or a second device might
    // send (nothing when the instrument is silent).
    void sendStrayStatus(const ReplySink& reply);
    // Replies sent in all (each copy counted).
    int repliesSent() const { return replies; }
    juce::String lastDriverFlashName() const { return driverFlashName; }
    juce::StringArray uploadedDriverNames() const { return uploadedNames; }

    // Writes the factory content: an update image made with the image tool's
    // builder at 0, a recognisable data region at 0x40000..0x5FFFF, 0xFF elsewhere.
    static void writeFactoryContent(juce::uint8* flash, size_t size, const PianoConfig& config);
    static constexpr juce::uint32 kDataRegionStart = (juce::uint32)region::data.start;
    static constexpr juce::uint32 kDataRegionSize = (juce::uint32)region::data.length;
    static void fillDataRegion(juce::uint8* dest, size_t size);

private:
    enum class Mode
    {
        idle,
        driverUpload,
        programming,
        reading
    };

    void handle(const juce::uint8* message, int size, const ReplySink& reply);
    void sendStrayPacket(const ReplySink& reply);
    void sendStatus(const ReplySink& reply, int status, double busyMs);
    void sendIdentifyReply(const ReplySink& reply, int index);
    void handleData(const juce::uint8* data, int length, const ReplySink& reply);
    void eraseSector(juce::uint32 byteAddress, const ReplySink& reply);
    void startRead(juce::uint32 byteAddress, const ReplySink& reply);
    void sendNextPacket(const ReplySink& reply);
    bool driverAllowsFlashWork() const;
    // Offset in the chip of a bus address, or -1 when the chip does not hold `count` bytes there.
    juce::int64 chipOffset(juce::uint32 address, juce::uint32 count) const;
    int statusFor(int normal) const;

    PianoConfig cfg;
    std::unique_ptr<juce::MemoryMappedFile> mapped;
    std::vector<juce::uint8> memory;
    juce::uint8* flash = nullptr;
    size_t flashBytes = 0;

    Mode mode = Mode::idle;
    std::vector<juce::uint8> driver;
    juce::String driverMcuName, driverFlashName;
    bool driverIsService = false;
    bool driverLoaded = false;
    int uploads = 0;
    juce::StringArray uploadedNames;

    juce::uint32 writeAddress = 0;
    juce::int64 programmedBytes = 0;
    int erases = 0;

    juce::uint8 readBlock[4100] = {};
    int readLength = 0, readPos = 0, readRequests = 0;
    juce::int64 corruptAddress = -1;

    int received = 0;
    int replies = 0;
    int firstUploadAt = 0; // the message number of the first driver upload; 0: none yet
    bool dead = false;
    std::vector<juce::uint8> out;
};
} // namespace vp
