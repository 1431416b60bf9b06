#pragma once
#include "TamarindVersion.h"
#include <juce_gui_basics/juce_gui_basics.h>
#if JUCE_WINDOWS
#include "app/WineRepaint.h"
#endif

class MainComponent;

namespace midi
{
class PortSet;
}

namespace platform
{
class SingleInstance;
}

class ORVProgrammerV2Application final : public juce::JUCEApplication
{
public:
    ORVProgrammerV2Application() = default;
    ~ORVProgrammerV2Application() override;

    const juce::String getApplicationName() override { return "Tamarind"; }
    const juce::String getApplicationVersion() override { return TAMARIND_VERSION; }
    bool moreThanOneInstanceAllowed() override;
    void initialise(const juce::String& commandLine) override;
    void shutdown() override;
    void anotherInstanceStarted(const juce::String& commandLine) override;
    void systemRequestedQuit() override { quit(); }

    // Set by main() before the framework starts; receives later launches' command lines.
    static platform::SingleInstance* singleInstance;

    class MainWindow final : public juce::DocumentWindow
    {
    public:
        // `imagePath`: the update file named on the command line; empty: update.rom beside the program.
        MainWindow(const juce::String& title, const juce::String& imagePath, bool trace);
        ~MainWindow() override;
        void closeButtonPressed() override;
        void handleCommandLine(const juce::String& text);
        MainComponent* getMainComponent() const { return mainComponent; }

    private:
        std::unique_ptr<midi::PortSet> ports; // outlives the content, which is deleted first
        MainComponent* mainComponent = nullptr;
        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(MainWindow)
    };

private:
    std::unique_ptr<MainWindow> mainWindow;
#if JUCE_WINDOWS
    std::unique_ptr<WineRepaintPump> wineRepaint;
#endif
};
