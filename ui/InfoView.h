#pragma once
#include "core/LogOutput.h"
#include "midi/MidiPorts.h"
#include "ui/LogEditor.h"

// The program's name and version and the MIDI ports the computer offers,
// written once into a read-only log view.
class infoView final : public juce::Component
{
public:
    explicit infoView(midi::PortSet& ports);
    ~infoView() override;
    void paint(juce::Graphics&) override {}
    void resized() override;
    CLogEditor& getEditor() { return *editor; }

private:
    CLogOutput output;
    std::unique_ptr<CLogEditor> editor;
};
