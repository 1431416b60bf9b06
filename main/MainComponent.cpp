#include "main/MainComponent.h"
#include "midi/VirtualMidiSource.h"
#include "platform/TextConversion.h"
#include "platform/WorkFolder.h"

const juce::String MainComponent::autoSavePresetName = "******AutoSave******";

MainComponent::MainComponent()
{
    logEditor = std::make_unique<CLogEditor>("new text editor");
    logEditor->configureAsLogView();
    logEditor->setColour(juce::TextEditor::textColourId, juce::Colours::black);
    logEditor->setColour(juce::TextEditor::backgroundColourId, juce::Colour(0x38ffffff));
    logEditor->setBounds(580, 88, 412, 192);
    addChildComponent(*logEditor);

    statusLabel.setText("Piano Connecting ...", juce::dontSendNotification);
    statusLabel.setFont(juce::Font(19.3f, juce::Font::plain));
    statusLabel.setColour(juce::Label::textColourId, juce::Colours::white);
    statusLabel.setJustificationType(juce::Justification::centredLeft);
    statusLabel.setBounds(152, 108, 408, 32);
    addAndMakeVisible(statusLabel);

    ports = midi::createPortSetFromEnvironment();
    link = std::make_unique<Communication>(&logOutput, this, *ports);

    setSize(572, 284);

    logOutput.setEchoToStdout(true);
    logOutput.AttachEditor(logEditor.get());
    logOutput.SetFontSize();

    programFolder = platform::currentProgramFolder();
    helpFilePath = programFolder + "Help.pdf";

    logOutput.PrintA("Test!\n");
    link->restartScan();
}

MainComponent::~MainComponent()
{
    link.reset();
    ports.reset();
    logOutput.AttachEditor(nullptr);
}

void MainComponent::paint(juce::Graphics& g)
{
    g.fillAll(juce::Colour(0xff3a3f44));
}

void MainComponent::resized() {}

void MainComponent::setStatus(const juce::String& text)
{
    statusLabel.setText(text, juce::dontSendNotification);
    platform::writeStdout("Status: " + text + "\n");
}

void MainComponent::loadPreset(const juce::String& name)
{
    // No preset store yet: every name but the automatic one is unknown.
    if (name != autoSavePresetName)
        logOutput.PrintA("Something error... Can't load preset.\n");
}

void MainComponent::handleMessage(const juce::Message& message)
{
    auto* m = dynamic_cast<const CCustomMessage*>(&message);
    if (m == nullptr)
        return;
    switch (m->code)
    {
    case EvDeviceFound:
        logOutput.PrintA("Device Connected! Test MCU/Flash type.\n");
        break;
    case EvNoDevice:
        setStatus("Device is not connected!");
        break;
    case EvTwoDevices:
        juce::AlertWindow::showMessageBoxAsync(juce::MessageBoxIconType::WarningIcon, "Warning",
                                               "Two or more devices! Please check it!\n");
        break;
    default:
        break;
    }
}
