#pragma once
#include "core/CustomMessage.h"
#include "core/LogOutput.h"
#include "core/SysexTrace.h"
#include "device/BackupRecord.h"
#include "device/DriverImages.h"
#include "device/PortPairing.h"
#include "device/SysexCodec.h"
#include "device/TransferEngine.h"
#include "midi/MidiPorts.h"
#include "platform/SafeFile.h"
#include "platform/Services.h"
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace flashrange
{
struct EraseRequest;
}

// The device link: pairs the instrument's MIDI ports and runs the exchanges
// with it. The message thread starts scans and operations and runs the timer;
// replies are handled on the MIDI input thread, and a lost port is reported on
// the transport's own thread. One mutex, `lock`, serialises them: the transfer
// engine and the pairing's shared fields are only touched with it held, so
// every TransferEngine::Host callback below runs with it held (on the thread
// that called the engine). Events go to `listener` as posted CCustomMessages,
// from any of these threads, and are handled on the message thread.
class Communication final : public midi::InputCallback,
                            public juce::Timer,
                            private TransferEngine::Host,
                            private PortPairing::Owner
{
public:
    // Tick periods. The product uses the defaults; tests may shrink them, or
    // set manualTicks and call timerCallback() themselves.
    struct TickPeriods
    {
        int scanMs = 1000;
        int transferMs = 500;
        int readMs = 80;
        int quietScanMs = 2000; // scans after "Device is not connected!"
        int settleMs = 40;      // quiet windows around decisive answers
        bool manualTicks = false;
    };

    static constexpr int kMaxScans = PortPairing::kMaxScans;
    static constexpr int kSilentTicksForTimeout = TransferEngine::kSilentTicksForTimeout;

    // `services` (the machine's when null) give the clock and make read files durable.
    Communication(CLogOutput* log, juce::MessageListener* listener, midi::PortSet& ports, TickPeriods periods,
                  platform::Services* services = nullptr);
    Communication(CLogOutput* log, juce::MessageListener* listener, midi::PortSet& ports)
        : Communication(log, listener, ports, TickPeriods())
    {
    }
    ~Communication() override;

    // Scanning and pairing. A quiet scan shows no scan in progress and goes on
    // until an instrument answers.
    void restartScan(bool quiet = false);
    void scanPorts();
    // Only the output named so (or numbered so) is scanned; see PortPairing.
    void choosePort(const juce::String& nameOrIndex) { pairing.choosePort(nameOrIndex); }
    void timerCallback() override;

    // MIDI input thread; each takes the lock itself.
    void handleIncomingMidiMessage(midi::InputPort* source, const juce::uint8* data, int size) override;
    void handlePartialSysexMessage(midi::InputPort*, const juce::uint8*, int) override {}
    void portLost(midi::InputPort* source) override;

    // A port whose name begins with this text (any letter case) is never used.
    static bool isExcludedPortName(const juce::String& name) { return PortPairing::isExcludedPortName(name); }

    // ---- Operations (message thread; each takes the lock). Each sends its first
    // request and returns; the rest runs on replies and ticks, and its end is
    // posted as EvStepDone.
    void sendFlashDriver(const juce::uint8* image, int length, const char* name, float shareStart,
                         float shareEnd);
    // Careful: the identification's test (see TransferEngine::startTestFlash).
    void testFlash(int parameter, const char* name, bool careful = false);
    // Erases the sectors that the file's data from `fileOffset` on will fill.
    void eraseFromFile(const juce::String& path, int page, juce::int64 flashOffset, juce::int64 length,
                       juce::int64 fileOffset, float shareStart, float shareEnd);
    // Erases the sectors that `length` bytes from memory at `flashOffset` (page 0) will fill.
    void eraseForBuffer(juce::int64 flashOffset, juce::int64 length, float shareStart, float shareEnd);
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
    void writeLockFile(const juce::String& path, LockMode mode);
    // The piano the next backup comes from: written beside the backup, with
    // the backup's length and MD5, just before the lock is made.
    void setBackupOwner(const BackupRecord& record);
    // A repair's check that the piano's data region (read into `regionPath`)
    // fits an interrupted update of the backup at `backupPath`; else
    // StepFailure::backupOfAnotherPiano, and nothing is written.
    void checkBackupFits(const juce::String& backupPath, const juce::String& regionPath);
    // Ends well once the link is quiet and no data arrived after the last
    // read ended; otherwise StepFailure::unclearReplies (its data may be shifted).
    void confirmReadSettled();

    // Every message both ways goes to `trace` too (null: none). Set on the
    // message thread; the trace must outlive the link or be unset first.
    void setTrace(SysexTrace* t) { trace = t; }

    // Offsets and lengths of file operations count 16-bit words when set.
    void setWordAddressing(bool words) { wordAddressing = words; }
    bool getWordAddressing() const { return wordAddressing.load(); }

    // Shows a message box (set by the user interface; the core only logs).
    std::function<void(const juce::String&)> showMessage;

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
    int getScanCount() const { return pairing.getScanCount(); }
    bool isScanArmed() const;
    int currentTickPeriod() const { return tickPeriod.load(); } // 0: timer stopped
    juce::String pairedOutputName() const;
    juce::String pairedInputName() const;
    // What the paired output's port says of how it is reached (see
    // midi::OutputPort::notice); empty when nothing.
    juce::String pairedOutputNotice() const;

    // Every operation start opens a job with a new serial number; its one
    // EvStepDone carries that number, so the receiver can tell it from
    // anything else.
    int currentJobSerial() const;
    // Replies that matched no request (duplicates, strays, floods), in all.
    int unexpectedReplyCount() const;

    // Undelivered EvProgress messages allowed in flight; further updates of a
    // running transfer are dropped until the receiver catches up (each one
    // carries absolute values, so the next one supersedes a dropped one).
    static constexpr int kMaxProgressInFlight = 4;

private:
    // TransferEngine::Host (the lock held) and PortPairing::Owner (as it says).
    void sendFrame(const juce::uint8* frame, int size) override;
    // Both interfaces' postEvent: any thread, with or without the lock.
    void postEvent(Event event) override { ::postEvent(listener, std::move(event)); }
    void postProgress(ProgressKind kind, int value, int total) override;
    void logText(const char* text) override;
    void logHighlighted(juce::uint32 argb, const char* text) override;
    void setTickPeriod(int periodMs) override;
    juce::uint32 now() override;
    bool storeReadData(const juce::uint8* data, int size) override;
    void readDataComplete() override;
    void quietWaitEnded() override;
    void readAbandoned() override;
    void startScanTicks(int periodMs) override { armTimer(periodMs); }
    void stopTicks() override { disarmTimer(); }
    void unexpectedIdentifyReply() override { engine.ignoreUnexpected(); }
    void sending(const juce::uint8* data, int size) override;

    void armTimer(int periodMs);
    void disarmTimer();
    void finishReadOutsideLock();

    // Called with the lock held.
    bool refuseWithoutSectorTable();
    bool refuseWithoutOutput();
    void eraseSectors(const flashrange::EraseRequest& request, float shareStart, float shareEnd);
    void postShare(float start, float end);
    bool loadFile(const juce::String& path);
    void logProblem(const juce::String& problem);
    void compareWith(juce::InputStream* written, juce::int64 offset, const juce::String& readBackPath);
    bool backupIsComplete(const juce::File& lockFile) const;

    CLogOutput* const log;
    juce::MessageListener* const listener;
    platform::Services& services;
    midi::PortSet& ports;
    const TickPeriods periods;

    mutable std::mutex lock; // the one lock of the link's shared state
    std::atomic<int> tickPeriod{0};
    std::atomic<bool> wordAddressing{false};
    std::atomic<SysexTrace*> trace{nullptr};
    std::shared_ptr<std::atomic<int>> progressInFlight = std::make_shared<std::atomic<int>>(0);

    // Shared with the input thread under `lock`. The pairing is lent `lock`
    // and takes it itself around its own shared fields (see PortPairing).
    TransferEngine engine;
    PortPairing pairing;

    // Driver and flash layout.
    std::vector<juce::uint8> driverCopy;
    std::vector<SectorInfo> sectorTable;

    // Files of the current job.
    std::vector<juce::uint8> fileBuffer;
    juce::File outputPath;
    std::unique_ptr<platform::WorkingFileOutput> outputFile;
    juce::int64 readTotal = 0;
    bool readNeedsSync = false, readWritten = false;
    juce::File pendingLock;
    BackupRecord backupOwner;
    enum class AfterQuiet
    {
        createLock,
        confirmRead
    } afterQuiet = AfterQuiet::createLock;
    // The last read that ended with its file complete and synced; a lock is
    // only created over such a backup.
    juce::File syncedReadFile;
    juce::int64 syncedReadSize = -1;

    JUCE_DECLARE_NON_COPYABLE(Communication)
};
