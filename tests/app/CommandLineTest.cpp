#include "app/CommandLine.h"
#include <gtest/gtest.h>

namespace
{
struct Folder
{
    Folder() { root.createDirectory(); }
    ~Folder() { root.deleteRecursively(); }
    juce::File root = juce::File::createTempFile("tamarind-launch");
};

LaunchOptions parse(std::initializer_list<const char*> words, const juce::File& folder)
{
    juce::StringArray arguments;
    for (auto* w : words)
        arguments.add(juce::String::fromUTF8(w));
    return LaunchOptions::parse(arguments, folder);
}
} // namespace

TEST(LaunchOptions, WordsThatAreNoOptionsNameOnePreset)
{
    Folder f;
    const auto o = parse({"--trace", "studio", "preset"}, f.root);
    EXPECT_TRUE(o.trace);
    EXPECT_EQ(o.presetName, "studio preset");
    EXPECT_TRUE(o.imagePath.isEmpty());
    EXPECT_TRUE(o.badImage.isEmpty());
    EXPECT_EQ(parse({"--help", "--frobnicate", "--version"}, f.root).unknownOption, "--frobnicate");
}

// Every argument that begins with "-" is an option, matched as a whole: the
// short forms answer as the long ones, anything else is refused (never taken
// as a preset name, nor as help because it holds an "h"), and "--" lets a
// preset name begin with "-".
TEST(LaunchOptions, OptionsAreWholeArgumentsAndNeverPresetNames)
{
    Folder f;
    struct Case
    {
        std::vector<const char*> words;
        bool help, version;
        const char* unknown;
        const char* preset;
    };
    const Case cases[] = {
        {{"-h"}, true, false, "", ""},
        {{"--help"}, true, false, "", ""},
        {{"-V"}, false, true, "", ""},
        {{"--version"}, false, true, "", ""},
        {{"-1h"}, false, false, "-1h", ""},
        {{"-hV"}, false, false, "-hV", ""},
        {{"-help"}, false, false, "-help", ""},
        {{"-v"}, false, false, "-v", ""},
        {{"-H"}, false, false, "-H", ""},
        {{"-"}, false, false, "-", ""},
        {{"--h"}, false, false, "--h", ""},
        {{"studio", "-x", "preset"}, false, false, "-x", "studio preset"},
        {{"--", "-h"}, false, false, "", "-h"},
        {{"--trace", "--", "-3 dB", "--help"}, false, false, "", "-3 dB --help"},
        {{"studio-h"}, false, false, "", "studio-h"},
    };
    for (const auto& c : cases)
    {
        juce::StringArray arguments(c.words.data(), (int)c.words.size());
        const auto o = LaunchOptions::parse(arguments, f.root);
        const auto shown = arguments.joinIntoString("|");
        EXPECT_EQ(o.help, c.help) << shown;
        EXPECT_EQ(o.version, c.version) << shown;
        EXPECT_EQ(o.unknownOption, c.unknown) << shown;
        EXPECT_EQ(o.presetName, c.preset) << shown;
    }
}

// What a launch prints and exits with before any window (no display is
// needed to get here): usage and version on standard output with 0, a wrong
// command line on standard error with 2; nothing for a launch that opens the
// window.
TEST(LaunchOptions, AnswersBeforeTheWindow)
{
    Folder f;
    ASSERT_TRUE(f.root.getChildFile("update.rom").replaceWithText("image"));
    const juce::String usage = LaunchOptions::usage();
    struct Case
    {
        std::vector<const char*> words;
        int status;
        juce::String out, err;
    };
    const Case cases[] = {
        {{"-h"}, 0, usage, ""},
        {{"--help"}, 0, usage, ""},
        {{"--trace", "-h"}, 0, usage, ""},
        {{"-V"}, 0, "Tamarind 9.8.7\n", ""},
        {{"--version"}, 0, "Tamarind 9.8.7\n", ""},
        {{"-h", "-V"}, 0, usage, ""},
        {{"-1h"}, 2, "", "Tamarind: unknown option -1h\n" + usage},
        {{"--help", "--frobnicate"}, 2, "", "Tamarind: unknown option --frobnicate\n" + usage},
        {{"-x", "-y"}, 2, "", "Tamarind: unknown option -x\n" + usage},
        {{"missing.rom"},
         2,
         "",
         "Tamarind: no update file " + f.root.getChildFile("missing.rom").getFullPathName() + "\n"},
        {{"-h", "missing.rom"}, 0, usage, ""},
    };
    for (const auto& c : cases)
    {
        juce::StringArray arguments(c.words.data(), (int)c.words.size());
        const auto answer = LaunchOptions::parse(arguments, f.root).answerBeforeWindow("9.8.7");
        const auto shown = arguments.joinIntoString("|");
        ASSERT_TRUE(answer.has_value()) << shown;
        EXPECT_EQ(answer->exitStatus, c.status) << shown;
        EXPECT_EQ(answer->standardOutput, c.out) << shown;
        EXPECT_EQ(answer->standardError, c.err) << shown;
    }
    EXPECT_TRUE(usage.startsWith("usage: Tamarind "));
    for (const char* option : {"-h, --help", "-V, --version", "--trace"})
        EXPECT_TRUE(usage.contains(option)) << option;
    // Launches that open the window.
    for (auto words : {std::vector<const char*>{}, {"studio"}, {"--trace", "update.rom"}, {"--", "-h"}})
    {
        juce::StringArray arguments(words.data(), (int)words.size());
        EXPECT_FALSE(LaunchOptions::parse(arguments, f.root).answerBeforeWindow("9.8.7").has_value())
            << arguments.joinIntoString("|");
    }
}

TEST(LaunchOptions, AnExistingFileEndingInRomIsTheUpdateFile)
{
    Folder f;
    ASSERT_TRUE(f.root.getChildFile("V1.10.00.ROM").replaceWithText("image"));
    // Relative to the launch's folder, and as given in full.
    const auto relative = parse({"V1.10.00.ROM"}, f.root);
    EXPECT_EQ(relative.imagePath, f.root.getChildFile("V1.10.00.ROM").getFullPathName());
    EXPECT_TRUE(relative.presetName.isEmpty());
    EXPECT_TRUE(relative.badImage.isEmpty());
    const auto absolute = parse({f.root.getChildFile("V1.10.00.ROM").getFullPathName().toRawUTF8()}, {});
    EXPECT_EQ(absolute.imagePath, relative.imagePath);
    EXPECT_TRUE(parse({"--trace", "V1.10.00.ROM"}, f.root).imagePath.isNotEmpty());
}

TEST(LaunchOptions, WhatEndsInRomButIsNoFileIsRefusedNotTakenAsAPreset)
{
    Folder f;
    ASSERT_TRUE(f.root.getChildFile("folder.rom").createDirectory());
    ASSERT_TRUE(f.root.getChildFile("b.rom").replaceWithText("image"));
    for (auto words : {std::vector<const char*>{"missing.rom"}, {"folder.rom"}, {"a", "b.rom"}})
    {
        juce::StringArray arguments(words.data(), (int)words.size());
        const auto o = LaunchOptions::parse(arguments, f.root);
        EXPECT_TRUE(o.imagePath.isEmpty()) << o.imagePath;
        EXPECT_TRUE(o.presetName.isEmpty()) << o.presetName;
        EXPECT_FALSE(o.badImage.isEmpty());
    }
    EXPECT_TRUE(parse({"missing.rom"}, f.root).badImage.startsWith("no update file "));
    EXPECT_TRUE(parse({"folder.rom"}, f.root).badImage.endsWith(" is a folder, not an update file"));
}

TEST(LaunchOptions, AHandedOverCommandLineNamesAnUpdateFileByItsEnding)
{
    EXPECT_TRUE(LaunchOptions::namesUpdateFile("/home/me/update.rom"));
    EXPECT_TRUE(LaunchOptions::namesUpdateFile("\"C:\\Users\\me\\My Update.ROM\""));
    EXPECT_FALSE(LaunchOptions::namesUpdateFile("studio preset"));
    EXPECT_FALSE(LaunchOptions::namesUpdateFile(""));
}
