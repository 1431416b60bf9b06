#pragma once
#include "midi/MidiPorts.h"
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace testing_support
{
// A scripted MIDI source. It records what the host does with its ports and,
// when asked, answers identify requests through its open inputs after flush().
class FakeSource : public midi::Source
{
public:
    explicit FakeSource(juce::StringArray names) : portNames(std::move(names)) {}

    juce::StringArray inputNames() override { return portNames; }
    juce::StringArray outputNames() override { return portNames; }
    std::unique_ptr<midi::InputPort> openInput(int index, midi::InputCallback* callback) override;
    std::unique_ptr<midi::OutputPort> openOutput(int index) override;
    bool sendDirect(int index, const juce::uint8* data, int size) override;

    // Identify replies: from which input, with which echoed index (-1: the
    // request's own), and whether a mode byte follows.
    int replyFromInput = -1; // -1: no replies
    int replyIndex = -1;
    bool replyFullSpeed = true;
    int highSpeedIndex = -1; // replies echoing this index have no mode byte

    void flush(); // delivers pending replies on the caller's thread
    std::vector<std::string> calls;
    bool called(const std::string& call) const;
    int firstCall(const std::string& prefix) const;

    struct Input;
    std::vector<Input*> openInputs;

private:
    void onIdentify(const juce::uint8* data, int size);
    juce::StringArray portNames;
    std::deque<std::vector<juce::uint8>> pending;
};
} // namespace testing_support
