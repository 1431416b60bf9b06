#pragma once
#include "controller/SteadyProgress.h"
#include "controller/UpdatePlan.h"
#include "controller/UpdateView.h"
#include "device/OperationQueue.h"
#include "platform/FolderLock.h"
#include "update/UpdateHistory.h"
#include <functional>
#include <juce_cryptography/juce_cryptography.h>
#include <optional>

// Connection, flash identification, version read, the check of the update
// image, and the update or its repair: the state machine between the device
// link and a view, with no window of its own. It owns the link and the job
// queue that runs on it, receives the link's events, and tells its view what
// to show.
struct UpdateFileFacts;

class UpdateController final : public juce::MessageListener
{
public:
    struct Settings
    {
        midi::PortSet* ports = nullptr;
        Communication::TickPeriods periods;
        juce::String programFolder;             // with its trailing separator; "update.rom" lives here
        juce::String imagePath;                 // empty: "update.rom" in the program folder
        juce::String workingFolder;             // empty: the platform's working folder
        platform::Services* services = nullptr; // null: the machine's
        juce::String port;                      // the output to pair through (name or number); empty: any
        bool checkImage = true;                 // false: the image is never looked at (no update follows)
    };

    enum class Phase
    {
        scanning,         // looking for the instrument
        identifying,      // uploading drivers and testing the flash
        readingVersion,   // reading the instrument's version area
        ready,            // connected and checked (UPDATE allowed only if the image passed)
        updating,         // an update or its repair runs
        running,          // another job list runs (runJobs)
        unrecognised,     // no built-in driver fits the flash
        connectionFailed, // the instrument stopped answering while being identified or read
        notConnected      // the scan gave up
    };

    UpdateController(UpdateView& view, CLogOutput& log, const Settings& settings);
    ~UpdateController() override;

    void start();     // the first scan
    void reconnect(); // scan again, dropping the connection
    // UPDATE: checked again, confirmed by the user, then the checked bytes are written.
    void requestUpdate();
    // Runs a job list of the caller's (reads, compares); the view hears jobsEnded.
    bool runJobs(std::vector<OperationRecord> list);

    void setWordAddressing(bool words) { link.setWordAddressing(words); }
    void setTonesWanted(bool wanted) { tonesWanted = wanted; }
    // The operation controls on or off, with the completion tone when turning on.
    void setControlsEnabled(bool enabled, Tone tone);

    Phase phase() const { return currentPhase; }
    bool updateAllowed() const;
    bool isUpdating() const { return currentPhase == Phase::updating; }
    bool isConnected() const { return connected; }
    const juce::String& deviceProduct() const { return deviceProductName; }
    const juce::String& deviceVersion() const { return deviceVersionText; }
    const juce::String& fileProduct() const { return fileProductName; }
    juce::String flashModel() const { return flashName; }
    // The identified flash's size in bytes; 0 while no flash is identified.
    juce::int64 flashSize() const;
    // An interrupted update's lock lies in the working folder: UPDATE repairs.
    bool repairPending() const;
    // While an update or its repair runs: whether it has erased or programmed
    // anything yet, and whether it is doing so now.
    bool flashTouched() const { return isUpdating() && queue.flashWritten(); }
    bool writingFlash() const
    {
        return isUpdating() && queue.current() != nullptr && jobs::writesFlash(*queue.current());
    }
    int lastImageCheck() const { return imageCheck; }
    double progress() const { return progressValue; }
    juce::String workingPath(const char* nameWithSlash) const;
    // The same for a working folder given (empty: the platform's).
    static juce::String workingPathIn(const juce::String& folder, const char* nameWithSlash);
    const juce::String& programFolder() const { return folder; }
    const juce::String& updateImagePath() const { return imagePath; }

    Communication& getLink() { return link; }
    OperationQueue& getQueue() { return queue; }
    void handleMessage(const juce::Message& message) override;

private:
    void onDeviceFound(bool fullSpeed);
    void onNoDevice();
    void onLinkLost();
    void lookAgain();
    void onProgress(ProgressKind kind, int value, int total);
    void onJobEnded(const EvStepDone& done);
    void onStepDone(bool failed, StepFailure reason);
    void onFlashTestDone(bool failed);
    void identifyFlash();
    void readDeviceVersion();
    void onUnclearAnswer();
    void onVersionRead(const std::vector<char16_t>& block);
    void showDeviceFacts(const juce::String& version, const juce::String& product);
    void checkImage();
    void takeImageFacts(const UpdateFileFacts& facts, int result);
    void showImageResult(int result);
    bool readCheckedImage(juce::MemoryBlock& image);
    std::unique_ptr<platform::FolderLock> takeFolderLock();
    bool workingFilesArePrivate();
    void startUpdate(juce::MemoryBlock image);
    bool backupRecordFits(const juce::String& backupPath);
    void endList(bool failed, StepFailure reason);
    void endUpdateWell();
    void beginHistoryRecord(UpdatePlan::Path path, const juce::String& imageMd5);
    void appendHistoryRecord(bool ok, const juce::String& result, StepFailure reason);
    void forgetInstrument();
    juce::int64 flashCapacity() const;
    void failureTones();
    void startSteadyProgress(const std::vector<OperationRecord>& list);
    void showSteadyProgress();

    UpdateView& view;
    CLogOutput& log;
    std::unique_ptr<midi::PortSet> ownedPorts;
    const juce::String folder;
    const juce::String imagePath;
    const juce::String workingFolder;
    Communication link;
    OperationQueue queue{link}; // after the link, which it uses

    Phase currentPhase = Phase::scanning;
    bool connected = false;
    bool tonesWanted = false;
    std::vector<DriverEntry> builtInDrivers;
    const juce::uint8* detectedDriver = nullptr;
    int detectedDriverLength = 0;
    juce::String flashName;
    bool versionRead = false;
    int unclearAnswers = 0; // identifications and version reads redone since connecting
    static constexpr int kMaxUnclearAnswers = 3;
    juce::String deviceProductName, deviceVersionText, fileProductName;
    int imageCheck = -1;             // result of the last check of "update.rom"; -1: none since connecting
    juce::SHA256 checkedImageDigest; // of the bytes that check passed
    juce::MemoryBlock updateImage;   // the checked bytes the running update writes
    std::unique_ptr<platform::FolderLock> folderLock; // held while an update runs
    std::optional<history::Record> historyRecord;     // of the running update, completed at its end
    double historyStartMs = 0;                        // on the monotonic millisecond counter
    double progressLow = 0.0, progressHigh = 0.0, progressValue = 0.0;
    SteadyProgress steady; // the running list as one climbing bar
    const bool imageWanted;

    JUCE_DECLARE_NON_COPYABLE(UpdateController)
};
