#pragma once
#include "device/Communication.h"
#include "main/MainComponent.h"

// Test seams of the main component: the ports to use, shrunk tick periods,
// and the folders of the program and of the working files.
struct MainComponent::Options
{
    midi::PortSet* ports = nullptr; // none: no instrument can be found
    Communication::TickPeriods periods;
    juce::String programFolder;             // empty: the running executable's folder
    juce::String imagePath;                 // empty: "update.rom" in the program folder
    juce::String workingFolder;             // empty: the platform's working folder
    bool modalDialogs = true;               // false: confirmations answer YES without showing (tests)
    bool echoToStdout = true;               // false: log and status lines stay off standard output (tests)
    platform::Services* services = nullptr; // clock, disk syncs, tones; null: the machine's
    bool trace = false; // every SysEx message also to Tamarind-trace.log in the working folder
};
