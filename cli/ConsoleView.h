#pragma once
#include "cli/Commands.h"
#include "controller/UpdateView.h"
#include <juce_events/juce_events.h>
#include <optional>

// The update controller's view on a terminal: status lines and questions on
// standard error; the job list's progress as one bar redrawn on a terminal,
// or a line per phase and per 10 % in a pipe; the log with time stamps when
// asked for. With --json and `events`, the same as JSON lines on standard
// output. It is also the log sink's listener.
class ConsoleView final : public UpdateView, public juce::MessageListener
{
public:
    ConsoleView(const cli::Options& options, const cli::Report* events);

    // UpdateView
    void showStatus(const juce::String& text) override;
    void showConnection(ConnectionPicture) override {}
    void showProgressBar(bool visible) override;
    void showProgress(double) override {} // the window's bar; this view draws the steady one
    void showSteadyProgress(const juce::String& phase, double fraction) override;
    void showDeviceVersion(const juce::String& version) override { deviceVersion = version; }
    void showFileVersion(const juce::String& version) override { fileVersion = version; }
    void showDeviceName(const juce::String&, NameState) override {}
    void enableControls(bool, bool) override {}
    void enableUpdate(bool) override {}
    void enableConnect(bool) override {}
    bool confirm(const juce::String& title, const juce::String& message) override;
    void warn(const juce::String& title, const juce::String& text) override;
    void playTone(Tone) override {}
    void updateRunning(bool) override {}
    void updateSucceeded() override { succeeded = true; }
    void updateRefused(UpdateRefusal why) override { refusal = why; }
    void jobsEnded(bool ok) override
    {
        ended = true;
        endedWell = ok;
    }

    // The log sink's requests: text is shown with --log.
    void handleMessage(const juce::Message& message) override;

    juce::String lastStatus, deviceVersion, fileVersion;
    bool succeeded = false, ended = false, endedWell = false;
    bool warned = false;                  // the only warning: more than one instrument answered
    std::optional<UpdateRefusal> refusal; // why UPDATE started nothing after a YES

private:
    void endBar();
    void event(const char* name, std::initializer_list<std::pair<const char*, juce::var>> fields) const;

    const bool assumeYes, showLog, quiet, terminal;
    const cli::Report* const events;
    juce::String lastPhase;
    int lastStep = -1;      // the last percent drawn or sent, or the last tenth printed
    int lastEventStep = -1; // the last percent sent as an event
    bool barDrawn = false;  // a bar line waits for its line end
    bool barShown = false;  // a job list of an update or a command runs
    bool logLineOpen = false;
};
