#pragma once
#include "device/Communication.h"
#include "ui/LogEditor.h"
#include "ui/LogOutput.h"
#include <juce_gui_basics/juce_gui_basics.h>

// The window's content: for now the log view, the status line and the device
// link with its port scan.
class MainComponent : public juce::Component, public juce::MessageListener
{
public:
    MainComponent();
    ~MainComponent() override;

    void paint(juce::Graphics& g) override;
    void resized() override;
    void handleMessage(const juce::Message& message) override;

    void loadPreset(const juce::String& name);
    void setStatus(const juce::String& text);

    bool updateInProgress = false;
    juce::String programFolder;
    juce::String helpFilePath;

    static const juce::String autoSavePresetName;

private:
    CLogOutput logOutput;
    std::unique_ptr<CLogEditor> logEditor;
    juce::Label statusLabel;
    std::unique_ptr<midi::PortSet> ports;
    std::unique_ptr<Communication> link;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(MainComponent)
};
