#pragma once
#include "TestSupport.h"
#include "device/OperationQueue.h"
#include "virtual-piano/VirtualMidiSource.h"
#include <gtest/gtest.h>

namespace testing_support
{
// A device link paired with a virtual piano, and a runner that drives the job
// list the way the main component does. In manual mode everything runs on the
// test thread: the piano answers when pumped and silence is simulated by
// calling the timer callback.
class EngineFixture : public ::testing::Test
{
protected:
    struct Outcome
    {
        bool ended = false;
        bool ok = false;
        StepFailure reason = StepFailure::none;
    };

    void TearDown() override;

    // Builds the link against a piano and pairs it (manual ticks).
    void connect(const juce::String& pianoConfig);
    // The same with a threaded piano and the framework's timer, shrunk.
    void connectThreaded(const juce::String& pianoConfig, int transferMs = 20, int readMs = 5);
    void connectTo(std::unique_ptr<midi::Source> source, bool manual, Communication::TickPeriods periods);

    // Runs the queued jobs: the next one starts after each success; a failure
    // ends the list. `silentTicks` bounds the simulated silence in manual mode.
    Outcome runQueue(int silentTicks = 40, int timeoutMs = 60000);

    // Identification as the main component runs it: each driver then its test,
    // the next model after a failed test. Returns the flash name that passed.
    juce::String identify();

    // Uploads the driver of the piano's own model.
    void uploadDriverFor(const juce::String& flashName);

    juce::uint8* flash()
    {
        return piano->piano(0).withPiano([](vp::VirtualPiano& p) { return p.flashData(); });
    }
    size_t flashSize()
    {
        return piano->piano(0).withPiano([](vp::VirtualPiano& p) { return p.flashSize(); });
    }
    Communication& link() { return *device; }
    std::string log() { return recorder.logUtf8(); }
    juce::File file(const juce::String& name) { return folder.getChildFile(name); }
    juce::File writeFile(const juce::String& name, const juce::MemoryBlock& data);
    // Recorded job ends that were successes, and failures.
    int jobsEndedWell() const;
    int jobsFailed() const;
    // Recorded progress events of `kind` (with `value`, unless it is -1).
    int progressEvents(ProgressKind kind, int value = -1) const;

    Recorder recorder;
    CLogOutput logSink;
    midi::PortSet ports;
    midi::VirtualSource* piano = nullptr;
    std::unique_ptr<Communication> device;
    std::unique_ptr<OperationQueue> queue; // runs on `device`
    bool manual = true;
    juce::File folder;
};

juce::MemoryBlock patternBlock(size_t size, juce::uint32 seed);
} // namespace testing_support
