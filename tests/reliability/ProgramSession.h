#pragma once
#include "ControlAccess.h"
#include "TestSupport.h"
#include "main/MainComponentParts.h"
#include "virtual-piano/VirtualMidiSource.h"
#include "virtual-piano/VirtualPiano.h"
#include <map>

namespace reliability
{
// Options for a main component under test: the given ports and folders,
// shrunk tick periods, confirmations answered YES.
inline MainComponent::Options testOptions(midi::PortSet& ports, const juce::File& programFolder,
                                          const juce::File& work)
{
    MainComponent::Options options;
    options.ports = &ports;
    options.periods.scanMs = 20;
    options.periods.transferMs = 20;
    options.periods.readMs = 5;
    options.periods.quietScanMs = 40;
    options.periods.settleMs = 5;
    options.programFolder = programFolder.getFullPathName() + "/";
    options.workingFolder = work.getFullPathName();
    options.modalDialogs = false;
    return options;
}

// One run of the program (its main component) against one port source, with
// shrunk tick periods (unless given), confirmations answered YES and nothing
// on stdout.
struct ProgramSession
{
    ProgramSession(std::unique_ptr<midi::Source> source, const juce::File& programFolder,
                   const juce::File& work, const Communication::TickPeriods* periods = nullptr,
                   platform::Services* services = nullptr)
    {
        piano = dynamic_cast<midi::VirtualSource*>(source.get());
        ports.addSource(std::move(source));
        auto options = testOptions(ports, programFolder, work);
        if (periods != nullptr)
            options.periods = *periods;
        options.echoToStdout = false;
        options.services = services;
        main = std::make_unique<MainComponent>(options);
    }

    // Killed: nothing runs after this, whatever was in progress.
    ~ProgramSession() { main.reset(); }

    template <typename Fn> auto withPiano(Fn&& fn) { return piano->piano(0).withPiano(std::forward<Fn>(fn)); }
    juce::uint8* flash()
    {
        return withPiano([](vp::VirtualPiano& p) { return p.flashData(); });
    }
    // Waits until the program has connected and checked the image (and told of
    // an interrupted update, if there was one).
    bool ready()
    {
        return testing_support::pumpUntil(
            [&]
            {
                const auto status = main->getStatus();
                return status == "Piano connected." ||
                       status == "An earlier update was interrupted. Press UPDATE to finish it.";
            },
            20000);
    }
    void pressUpdate()
    {
        main->buttonClicked(testing_support::control<ImageButtonWithText>(main, "updateButton"));
    }
    // Waits until no update runs any more; false when one is still running.
    bool finished()
    {
        return testing_support::pumpUntil(
            [&] { return !main->isUpdating() && main->getStatus() != "Updating...."; }, 60000);
    }
    juce::String log() const { return main->getLogText(); }

    midi::PortSet ports;
    midi::VirtualSource* piano = nullptr;
    std::unique_ptr<MainComponent> main;
};

inline std::unique_ptr<midi::VirtualSource> virtualPiano(const juce::String& config)
{
    return std::make_unique<midi::VirtualSource>(vp::PianoConfig::parse(config), 0, false);
}

// An instrument whose flash lives in `store`, so a restarted program finds it as it was left.
inline std::unique_ptr<midi::VirtualSource> virtualPiano(const juce::String& config, const juce::File& store)
{
    return virtualPiano(config + ",store=" + store.getFullPathName());
}

// The files of a folder by name, and putting a flash head and working files
// back as they were at some moment.
using Files = std::map<juce::String, juce::MemoryBlock>;
Files readFolder(const juce::File& folder);
bool restore(const juce::File& store, const std::vector<juce::uint8>& head, const juce::File& work,
             const Files& files);
} // namespace reliability
