#pragma once
#include <juce_core/juce_core.h>

// The program's command line: arguments that begin with "--" are options,
// never preset names; the other arguments, joined with spaces, name a preset.
struct LaunchOptions
{
    bool help = false, version = false, trace = false;
    juce::String unknownOption; // the first option not known, if any
    juce::String presetName;

    static LaunchOptions parse(const juce::StringArray& arguments);
    static const char* usage();
};
