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
