#pragma once
#include "controller/UpdateView.h"
#include "core/LogOutput.h"
#include <atomic>
#include <juce_gui_basics/juce_gui_basics.h>

class CLocalPreset;
class CLogEditor;
class fileBrowser;
class ImageButtonWithText;
class ScreenSaverBlock;
class SysexTrace;
class UpdateController;
struct DriverEntry;
namespace midi
{
class PortSet;
}
namespace platform
{
class DocumentViewer;
class Services;
} // namespace platform

// The window's content: the update screen (title, logo, status, versions,
// UPDATE and HELP, progress bar) and the hidden service controls. It is the
// update controller's view: the controller runs the device link and the
// update, this shows what it reports and passes the user's buttons on. See
// UpdateScreen.cpp (what the controller shows), Dispatch.cpp (buttons, combo
// boxes and presets) and FileSummary.cpp (the "Check sum thread").
class MainComponent final : public juce::Component,
                            public juce::MessageListener,
                            public juce::Thread,
                            public juce::LookAndFeel_V2,
                            public juce::Button::Listener,
                            public juce::ComboBox::Listener,
                            private UpdateView
{
public:
    // Test seams: the ports, tick periods and folders to use (main/MainOptions.h).
    struct Options;

    MainComponent();
    explicit MainComponent(const Options& options);
    ~MainComponent() override;

    // juce::Component
    void paint(juce::Graphics& g) override;
    void resized() override;
    // juce::MessageListener: the file boxes and the flash chooser
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

    // Presets and the file summary of the service controls.
    void loadPreset(const juce::String& name);
    int savePreset(const juce::String& name);
    int refreshPresetList(const juce::String& name);
    CLocalPreset& getPresets() { return *localPreset; }
    void startFileSummary(const juce::String& path);
    const juce::StringArray& getSelectedFlashNames() const { return selectedFlashNames; }
    const juce::StringArray& getOfferedFlashNames() const { return offeredFlashNames; }

    // What the screen shows.
    juce::String getStatus() const { return statusLabel->getText(); }
    double getProgressValue() const { return progressValue; }
    juce::String getLogText() const;
    bool isUpdating() const;
    UpdateController& getController() { return *controller; }

    CLogOutput logOutput;

private:
    // UpdateView
    void showStatus(const juce::String& text) override;
    void tellNoViewer();
    void showConnection(ConnectionPicture picture) override;
    void showProgressBar(bool visible) override;
    void showProgress(double fraction) override;
    void showDeviceVersion(const juce::String& version) override;
    void showFileVersion(const juce::String& version) override;
    void showDeviceName(const juce::String& name, NameState state) override;
    void enableControls(bool enabled, bool updateAllowed) override;
    void enableUpdate(bool enabled) override;
    void enableConnect(bool enabled) override;
    bool confirm(const juce::String& title, const juce::String& message) override;
    void warn(const juce::String& title, const juce::String& text) override;
    void playTone(Tone tone) override;
    void updateRunning(bool running) override;
    void updateSucceeded() override;

    // The buttons' handlers (buttonClicked's table).
    void reconnectClicked();
    void wordClicked();
    void byteClicked();
    void beepClicked();
    void updateClicked();
    void addPresetClicked();
    void deletePresetClicked();
    void selectFlashClicked();
    void infoClicked();
    void helpClicked();

    static juce::Font uiFont(); // the combo boxes' and menus' face, height 16
    struct ControlRow;          // a row of createControls' table
    void createControls();
    template <typename T>
    juce::Component& createControl(std::unique_ptr<T> MainComponent::*member, const ControlRow& row);
    void hideUnreachable(juce::Component& c);
    void applyOfferedFlashList();
    void updateFlashButtonText();
    void updateOperationCaptions();

    std::vector<DriverEntry> builtInDrivers;
    std::unique_ptr<juce::TooltipWindow> tooltipWindow;
    std::unique_ptr<midi::PortSet> ownedPorts;
    midi::PortSet* portSet = nullptr;
    std::unique_ptr<SysexTrace> trace; // outlives the controller and its link
    std::unique_ptr<UpdateController> controller;
    std::unique_ptr<ScreenSaverBlock> screenSaverBlock;
    std::unique_ptr<platform::DocumentViewer> helpViewer;
    platform::Services* services = nullptr;
    juce::Image backgroundImage;
    std::unique_ptr<juce::Drawable> logoDrawable;
    std::unique_ptr<juce::Drawable> connectionPictures[8];
    juce::String programFolder, helpFilePath;
    juce::File logFile;
    bool modalDialogs = true;
    bool echoToStdout = true;
    bool wordAddressMode = true;
    double progressValue = 0.0;
    juce::StringArray selectedFlashNames;
    juce::StringArray offeredFlashNames;

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

    // The preset store (in memory only).
    std::unique_ptr<CLocalPreset> localPreset;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(MainComponent)
};
