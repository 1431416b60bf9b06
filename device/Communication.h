#pragma once
#include "device/CustomMessage.h"
#include "device/DriverImages.h"
#include "device/SysexCodec.h"
#include "midi/MidiPorts.h"
#include "platform/SafeFile.h"
#include "ui/LogOutput.h"
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// The device link: pairs the instrument's MIDI ports and runs the exchanges
// with it. The message thread starts scans and operations and runs the timer;
// replies are handled on the MIDI input thread. One mutex serialises the two.
class Communication : public midi::InputCallback, public juce::Timer
{
public:
    // Tick periods. The product uses the defaults; tests may shrink them, or
    // set manualTicks and call timerCallback() themselves.
    struct TickPeriods
    {
        int scanMs = 1000;
        int transferMs = 500;
        int readMs = 80;
        bool manualTicks = false;
    };

    static constexpr int kMaxScans = 100;
    static constexpr int kSilentTicksForTimeout = 9;

    Communication(CLogOutput* log, juce::MessageListener* listener, midi::PortSet& ports,
                  TickPeriods periods);
    Communication(CLogOutput* log, juce::MessageListener* listener, midi::PortSet& ports)
        : Communication(log, listener, ports, TickPeriods())
    {
    }
    ~Communication() override;

    // Scanning and pairing.
    void restartScan();
    void scanPorts();
    void timerCallback() override;

    // MIDI input thread.
    void handleIncomingMidiMessage(midi::InputPort* source, const juce::uint8* data, int size) override;
    void handlePartialSysexMessage(midi::InputPort*, const juce::uint8*, int) override {}

    // A port whose name begins with this text (any letter case) is never used.
    static bool isExcludedPortName(const juce::String& name);

    // ---- Operations (message thread). Each sends its first request and returns;
    // the rest runs on replies and ticks, and its end is posted as EvStepDone.
    void sendFlashDriver(const juce::uint8* image, int length, const char* name, float shareStart,
                         float shareEnd);
    void testFlash(int parameter, const char* name);
    void eraseRange(const juce::String& path, int page, juce::int64 flashOffset, juce::int64 length,
                    juce::int64 fileOffset, float shareStart, float shareEnd);
    void programFile(const juce::String& path, int page, juce::int64 fileOffset, juce::int64 flashOffset,
                     juce::int64 length, float shareStart, float shareEnd);
    void programBuffer(const juce::uint8* data, int page, juce::int64 flashOffset, juce::int64 length,
                       float shareStart, float shareEnd);
    void readToFile(const juce::String& path, int page, juce::int64 flashOffset, juce::int64 length,
                    float shareStart, float shareEnd);
    void compareFiles(const juce::String& writtenPath, juce::int64 fileOffset,
                      const juce::String& readBackPath);
    // Compares the read-back file with `length` bytes in memory.
    void compareBuffer(const juce::uint8* data, juce::int64 length, const juce::String& readBackPath);
    void postVersionFromFile(const juce::String& path);
    void writeLockFile(const juce::String& path, int mode);

    // Offsets and lengths of file operations count 16-bit words when set.
    void setWordAddressing(bool words) { wordAddressing = words; }
    bool getWordAddressing() const { return wordAddressing.load(); }

    // Shows a message box (set by the user interface; the core only logs).
    std::function<void(const juce::String&)> showMessage;

    // The path that erases the data region without reading a file.
    static const juce::String bufferPath; // "***"
    // The backup of the data region that a lock file protects, beside the lock.
    static constexpr const char* backupFileName = "orv_backup.tmp";
    static constexpr juce::int64 kDataRegionBytes = 0x20000;

    // Transfer states.
    enum State
    {
        Idle = -1,
        UploadingDriver = 0,
        TestingFlash = 1,
        Erasing = 2,
        Programming = 3,
        Reading = 5
    };
    int getState() const;
    std::vector<SectorInfo> getSectorTable() const;
    bool hasSectorTable() const;

    // Observers.
    bool isFullSpeed() const;
    bool isPaired() const;
    int getScanCount() const { return scanCount; }
    bool isScanArmed() const;
    int currentTickPeriod() const { return tickPeriod.load(); } // 0: timer stopped
    juce::String pairedOutputName() const;

    // Every operation start opens a job with a new serial number; its one
    // EvStepDone carries that number in param3, so the receiver can tell it
    // from anything else.
    int currentJobSerial() const;
    // Replies that matched no request (duplicates, strays, floods), in all.
    int unexpectedReplyCount() const;

    // Undelivered EvProgress messages allowed in flight; further updates of a
    // running transfer are dropped until the receiver catches up (each one
    // carries absolute values, so the next one supersedes a dropped one).
    static constexpr int kMaxProgressInFlight = 4;

private:
    void armTimer(int periodMs);
    void disarmTimer();
    void closeUnpairedPorts();
    void handleIdentifyReply(midi::InputPort* source, const juce::uint8* data, int length);
    void post(int code, int p1 = 0, int p2 = 0, int p3 = 0) { postEvent(listener, code, p1, p2, p3); }

    // Everything below is called with `lock` held.
    // What the link waits for from the instrument: each request it sends
    // expects one reply, and anything else that arrives is ignored.
    enum class Awaiting
    {
        nothing,
        status,   // the status reply to a data block, erase or flash test
        readData, // the packets of a requested read block (or a status instead)
        drain,    // packets of a broken block still on their way: wait for quiet, then ask again
        quiet     // nothing: the lock waits for proof that no reply of the backup read is still coming
    };
    void beginJob();
    void completeStep(bool failed, int reason);
    void ignoreUnexpectedReply();
    void flushUnexpectedCount();
    void failStep(int reason);
    void abortStep(const char* logLine, int reason);
    bool refuseWithoutSectorTable();
    void startTicking(int periodMs);
    void sendFrame(int size);
    void startTransfer(const juce::uint8* data, juce::int64 byteAddress, juce::int64 length, bool program);
    void sendDataBlock();
    void loadBlock();
    void postProgress(int kind, int value, int total);
    void postShare(float start, float end);
    void finishStep(int status);
    void onStatusReply(int status);
    bool eraseNextSector();
    void startRead();
    void requestReadBlock(juce::int64 byteAddress);
    void onDataPacket(const juce::uint8* data, int length);
    void onReadBlock();
    void retryBadBlock(bool drainFirst);
    void abandonRead();
    bool loadFile(const juce::String& path);
    void compareWith(juce::InputStream* written, juce::int64 offset, const juce::String& readBackPath);
    void logProblem(const juce::String& problem);
    bool backupIsComplete(const juce::File& lockFile) const;
    void createLockAfterQuiet();
    void logElapsed(const char* label, juce::uint32 since);

    CLogOutput* const log;
    juce::MessageListener* const listener;
    midi::PortSet& ports;
    const TickPeriods periods;

    mutable std::mutex lock; // the one lock of the link's shared state
    std::atomic<int> tickPeriod{0};

    // Scan state (shared with the input thread under `lock`).
    int inputCount = 0, outputCount = 0;
    std::vector<std::unique_ptr<midi::InputPort>> inputs;
    std::vector<std::unique_ptr<midi::OutputPort>> outputs;
    std::unique_ptr<midi::InputPort> pairedInputOwner;
    std::unique_ptr<midi::OutputPort> pairedOutputOwner;
    midi::InputPort* pairedInput = nullptr;
    midi::OutputPort* pairedOutput = nullptr;
    bool fullSpeed = false;
    bool deviceFound = false;
    bool identifyReplySeen = false;
    bool scanArmed = false;
    bool twoDevicesPosted = false; // at most one notice per scan
    int pairedIndex = -1;          // the output index the pairing reply echoed
    int scanCount = 0;             // message thread only

    // Transfer state (shared with the input thread under `lock`).
    int state = Idle;
    Awaiting awaiting = Awaiting::nothing;
    int jobSerial = 0;
    bool jobOpen = false;        // a job started and its EvStepDone is not posted yet
    int unexpectedInEpisode = 0; // ignored replies since the last job start or end
    int quietTicks = 0;          // ticks without a packet while draining or before a lock
    int unexpectedSinceRead = 0; // ignored replies since the last read ended well
    juce::File pendingLock;
    int unexpectedTotal = 0;
    std::shared_ptr<std::atomic<int>> progressInFlight = std::make_shared<std::atomic<int>>(0);
    int silenceTicks = 0;
    int retryCount = 0;
    int badChecksums = 0; // wrong checksums of the current read block in a row
    bool sending = false;
    const juce::uint8* sendSource = nullptr;
    juce::int64 totalLength = 0, doneLength = 0;
    juce::uint8 blockBuffer[sysex::kChecksummedBlockSize] = {};
    juce::uint8 frameBuffer[sysex::kFrameBufferSize] = {};
    juce::uint32 sequenceStart = 0, phaseStart = 0;
    std::atomic<bool> wordAddressing{false};

    // Driver and flash layout.
    std::vector<juce::uint8> driverCopy;
    std::vector<SectorInfo> sectorTable;

    // Current flash operation.
    int page = 0;
    juce::int64 flashOffset = 0, fileOffset = 0, length = 0, base = 0, programLength = 0;
    int firstSector = 0, endSector = 0, currentSector = 0;
    std::vector<juce::uint8> fileBuffer;
    juce::File outputPath;
    std::unique_ptr<platform::WorkingFileOutput> outputFile;
    // The last read that ended with its file complete and synced; a lock is
    // only created over such a backup.
    juce::File syncedReadFile;
    juce::int64 syncedReadSize = -1;
    int rxCount = 0;

    JUCE_DECLARE_NON_COPYABLE(Communication)
};
