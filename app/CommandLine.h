#pragma once
#include <juce_core/juce_core.h>
#include <optional>

// The program's command line: arguments that begin with "-" are options,
// never preset names ("--" ends the options: what follows is taken as it is).
// One argument that ends in ".rom" names the update file to use instead of
// "update.rom" beside the program (a preset name never ends in ".rom");
// otherwise the arguments, joined with spaces, name a preset.
struct LaunchOptions
{
    bool help = false, version = false, trace = false;
    juce::String unknownOption; // the first option not known, if any
    juce::String presetName;
    juce::String imagePath; // the update file named on the command line, as an absolute path
    juce::String badImage;  // what names an update file but is not one: why, for standard error

    // `folder` resolves a relative path (the current folder of the launch).
    static LaunchOptions parse(const juce::StringArray& arguments,
                               const juce::File& folder = juce::File::getCurrentWorkingDirectory());
    static const char* usage();

    // What a launch prints and the status it exits with, before any window
    // (and without a display): the usage or the version (0), or why the
    // command line is refused (2).
    struct Answer
    {
        int exitStatus = 0;
        juce::String standardOutput, standardError;
    };
    // Empty when the window is to open. `programVersion` is what --version shows.
    std::optional<Answer> answerBeforeWindow(const juce::String& programVersion) const;

    // True when the text of a command line (as a running instance receives it
    // from a later launch) names an update file rather than a preset.
    static bool namesUpdateFile(const juce::String& text);
};
