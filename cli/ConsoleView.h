#pragma once
#include "controller/UpdateView.h"
#include <juce_events/juce_events.h>

// The update controller's view on a terminal: status lines and questions on
// standard error, a progress bar when standard error is a terminal (plain
// lines every 10 % otherwise), and the log when asked for. It is also the log
// sink's listener.
class ConsoleView : public UpdateView, public juce::MessageListener
{
public:
    ConsoleView(bool assumeYes, bool showLog);

    // UpdateView
    void showStatus(const juce::String& text) override;
    void showConnection(ConnectionPicture) override {}
    void showProgressBar(bool visible) override;
    void showProgress(double fraction) override;
    void showDeviceVersion(const juce::String&) override {}
    void showFileVersion(const juce::String&) override {}
    void showDeviceName(const juce::String&, NameState) override {}
    void enableControls(bool, bool) override {}
    void enableUpdate(bool) override {}
    void enableConnect(bool) override {}
    bool confirm(const juce::String& title, const juce::String& message) override;
    void warn(const juce::String& title, const juce::String& text) override;
    void playTone(Tone) override {}
    void updateRunning(bool) override {}
    void updateSucceeded() override { succeeded = true; }
    void jobsEnded(bool ok) override
    {
        ended = true;
        endedWell = ok;
    }

    // The log sink's requests: text is shown with --log.
    void handleMessage(const juce::Message& message) override;

    juce::String lastStatus;
    bool succeeded = false, ended = false, endedWell = false;
    bool warned = false; // the only warning: more than one instrument answered

private:
    void endBar();

    const bool assumeYes, showLog, terminal;
    int lastStep = -1;     // the last tenth printed, or the last bar width drawn
    bool barDrawn = false; // a bar line waits for its line end
    bool barShown = false; // a job list of an update or a command runs
};
