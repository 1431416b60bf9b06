#pragma once
#include "device/DriverImages.h"
#include "device/OperationQueue.h"
#include "platform/DocumentViewer.h"
#include "settings/Presets.h"
#include "ui/FileBrowser.h"
#include "ui/ImageButtonWithText.h"
#include "ui/LogEditor.h"
#include "core/LogOutput.h"
#include <atomic>
#include <juce_cryptography/juce_cryptography.h>
#include <juce_gui_basics/juce_gui_basics.h>

class ScreenSaverBlock;

// The window's content: the update screen (title, logo, status, versions,
// UPDATE and HELP, progress bar) and the hidden service controls. It owns the
// device link and reacts to its events; see EventHandler.cpp (events),
// Dispatch.cpp (buttons and control states), UpdatePlan.cpp (the update) and
// FileSummary.cpp (the "Check sum thread").
struct UpdateFileFacts;
class MainComponent : public juce::Component,
                      public juce::MessageListener,
                      public juce::Thread,
                      public juce::LookAndFeel_V2,
                      public juce::Button::Listener,
                      public juce::ComboBox::Listener
{
public:
    // Test seams: the ports to use (default: from TAMARIND_MIDI), shrunk tick
    // periods, and the folders of the program and of the working files.
    struct Options
    {
        midi::PortSet* ports = nullptr;
        Communication::TickPeriods periods;
        juce::String programFolder; // empty: the running executable's folder
        juce::String workingFolder; // empty: the platform's working folder
        bool modalDialogs = true;   // false: confirmations answer YES without showing (tests)
        bool echoToStdout = true;   // false: log and status lines stay off standard output (tests)
    };

    MainComponent();
    explicit MainComponent(const Options& options);
    ~MainComponent() override;

    // juce::Component
    void paint(juce::Graphics& g) override;
    void resized() override;
    // juce::MessageListener: device events, file boxes, flash chooser
    void handleMessage(const juce::Message& message) override;
    // juce::Thread: the file summary
    void run() override;
    // juce::LookAndFeel_V2
    juce::Font getPopupMenuFont() override;
    juce::Font getComboBoxFont(juce::ComboBox& box) override;
    void drawCallOutBoxBackground(juce::CallOutBox& box, juce::Graphics& g, const juce::Path& path,
                                  juce::Image& cachedImage) override;
    void drawProgressBar(juce::Graphics& g, juce::ProgressBar& bar, int width, int height, double progress,
                         const juce::String& textToShow) override;
    // Listeners
    void buttonClicked(juce::Button* button) override;
    void comboBoxChanged(juce::ComboBox* box) override;

    // Dispatch and control states.
    void setControlsEnabled(bool enabled, int beepKind);
    void updateFlashButtonText();
    void updateOperationCaptions();
    void confirmAndStartUpdate();
    bool readCheckedImage(juce::MemoryBlock& image);
    void takeUpdateFileFacts(const UpdateFileFacts& facts, int result);
    void showUpdateFileResult(int result);
    // UPDATE may start only when the flash was identified, the instrument's
    // version read and the last check of "update.rom" gave 0.
    bool updateAllowed() const;
    void startUpdate(juce::MemoryBlock image);
    void loadPreset(const juce::String& name);
    int savePreset(const juce::String& name);
    int refreshPresetList(const juce::String& name);
    CLocalPreset& getPresets() { return localPreset; }
    void startFileSummary(const juce::String& path);

    void setStatus(const juce::String& text);
    juce::String getStatus() const { return statusLabel->getText(); }

    // State read by the window and by tests.
    bool updateInProgress = false;
    bool instrumentConnected = false;
    bool detectingFlash = false;
    bool wordAddressMode = true;
    juce::String programFolder;
    juce::String helpFilePath;
    juce::String deviceProductName, fileProductName;
    juce::int64 updateFileLength = 0;
    bool versionRead = false;
    int lastImageCheck = -1;         // result of the last check of "update.rom"; -1: none since connecting
    juce::SHA256 checkedImageDigest; // of the bytes that last check passed
    juce::MemoryBlock updateImage;   // the checked bytes the running update writes
    double progressValue = 0.0;
    double progressLow = 0.0, progressHigh = 0.0;
    juce::StringArray selectedFlashNames;
    juce::StringArray offeredFlashNames;
    const juce::uint8* detectedDriver = nullptr;
    int detectedDriverLength = 0;

    OperationQueue& getQueue() { return *queue; }

    // Working file paths.
    juce::String workingPath(const char* nameWithSlash) const;

    // The controls, in creation order.
    std::unique_ptr<juce::ToggleButton> userModeToggle;
    std::unique_ptr<juce::GroupComponent> writeOptionGroup;
    std::unique_ptr<juce::ToggleButton> beepToggle;
    std::unique_ptr<juce::TextEditor> fileOffsetEditor;
    std::unique_ptr<juce::Label> fileOffsetLabel;
    std::unique_ptr<juce::Label> writeFlashOffsetLabel;
    std::unique_ptr<juce::Label> writeLengthLabel;
    std::unique_ptr<juce::TextEditor> writeLengthEditor;
    std::unique_ptr<CLogEditor> logEditor;
    std::unique_ptr<juce::GroupComponent> readOptionGroup;
    std::unique_ptr<juce::TextButton> readButton;
    std::unique_ptr<juce::Label> flashLabel;
    std::unique_ptr<juce::Label> flashPageLabel;
    std::unique_ptr<juce::TextEditor> flashPageEditor;
    std::unique_ptr<juce::ToggleButton> wordToggle;
    std::unique_ptr<juce::ToggleButton> byteToggle;
    std::unique_ptr<juce::TextEditor> writeFlashOffsetEditor;
    std::unique_ptr<juce::Label> readFlashOffsetLabel;
    std::unique_ptr<juce::TextEditor> readFlashOffsetEditor;
    std::unique_ptr<juce::TextEditor> readLengthEditor;
    std::unique_ptr<juce::Label> readLengthLabel;
    std::unique_ptr<juce::GroupComponent> presetGroup;
    std::unique_ptr<juce::ComboBox> presetListCombo;
    std::unique_ptr<juce::TextButton> addPresetButton;
    std::unique_ptr<juce::TextEditor> presetNameEditor;
    std::unique_ptr<juce::Label> presetListLabel;
    std::unique_ptr<juce::TextButton> deletePresetButton;
    std::unique_ptr<juce::Label> mcuLabel;
    std::unique_ptr<juce::ComboBox> mcuCombo;
    std::unique_ptr<juce::ToggleButton> autoCheckToggle;
    std::unique_ptr<juce::ProgressBar> progressBar;
    std::unique_ptr<fileBrowser> writeFileBox;
    std::unique_ptr<fileBrowser> readFileBox;
    std::unique_ptr<juce::Label> checksumLabel;
    std::unique_ptr<juce::Label> md5Label;
    std::unique_ptr<juce::TextButton> selectFlashButton;
    std::unique_ptr<juce::DrawableButton> connectStatusButton;
    std::unique_ptr<juce::TextButton> infoButton;
    std::unique_ptr<ImageButtonWithText> updateButton;
    std::unique_ptr<ImageButtonWithText> helpButton;
    std::unique_ptr<juce::Label> statusLabel;
    std::unique_ptr<juce::Label> devVersionValue;
    std::unique_ptr<juce::Label> fileVersionValue;
    std::unique_ptr<juce::Label> devVersionLabel;
    std::unique_ptr<juce::Label> fileVersionLabel;
    std::unique_ptr<juce::Label> devNameLabel;
    std::unique_ptr<juce::Label> devNameValue;

    CLogOutput logOutput;

private:
    void createControls();
    void showConnectionPictures(int state);
    void onDeviceFound(bool fullSpeed);
    void onProgress(int kind, int value, int total);
    void onStepDone(bool failed, int reason);
    void onVersionRead(CCustomMessage& message);
    void endUpdateWell();
    void endWithFailure();
    void doubleLowTone();
    void applyOfferedFlashList();
    void forgetInstrument();
    juce::int64 flashCapacity() const;
    void hideUnreachable(juce::Component& c);

    std::vector<DriverEntry> builtInDrivers;
    std::unique_ptr<juce::TooltipWindow> tooltipWindow;
    std::unique_ptr<midi::PortSet> ownedPorts;
    midi::PortSet* portSet = nullptr;
    std::unique_ptr<OperationQueue> queue;
    std::unique_ptr<ScreenSaverBlock> screenSaverBlock;
    platform::DocumentViewer helpViewer;
    juce::Image backgroundImage;
    std::unique_ptr<juce::Drawable> logoDrawable;
    std::unique_ptr<juce::Drawable> connectionPictures[8];
    juce::String workingFolderOverride;
    bool modalDialogs = true;
    bool echoToStdout = true;

    // The file summary thread's input and progress. The progress bar reads
    // progressValue on the message thread; the thread writes summaryProgress,
    // which a timer copies over while the summary runs.
    juce::String summaryFilePath;
    juce::CriticalSection summaryPathLock;
    std::atomic<double> summaryProgress{0.0};
    struct ProgressMirror : juce::Timer
    {
        explicit ProgressMirror(MainComponent& o) : owner(o) {}
        void timerCallback() override { owner.progressValue = owner.summaryProgress.load(); }
        MainComponent& owner;
    } progressMirror{*this};

    // Settings stores (in memory only).
    GlobalPreset globalPreset;
    CLocalPreset localPreset;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(MainComponent)
};
