// One update at a time per working folder: the lock of the operating system.
#include "platform/FolderLock.h"
#include "TestSupport.h"
#include <gtest/gtest.h>
#if !JUCE_WINDOWS
#include <sys/stat.h>
#endif

using platform::FolderLock;

TEST(FolderLock, OneHolderAtATimeAlsoInOneProcessAndFreeWhenLetGo)
{
    const auto folder = testing_support::makeTempFolder("tamarind-folder-lock");
    const auto path = folder.getChildFile("Tamarind-update.lock").getFullPathName();
    auto result = FolderLock::Result::failed;
    juce::String problem;
    auto first = FolderLock::take(path, result, problem);
    ASSERT_NE(first, nullptr) << problem;
    EXPECT_EQ(result, FolderLock::Result::taken);

    EXPECT_EQ(FolderLock::take(path, result, problem), nullptr);
    EXPECT_EQ(result, FolderLock::Result::busy);
    EXPECT_TRUE(problem.isEmpty());

    first.reset(); // as when its program ends
    EXPECT_NE(FolderLock::take(path, result, problem), nullptr);
    EXPECT_EQ(result, FolderLock::Result::taken);
    folder.deleteRecursively();
}

TEST(FolderLock, WhatIsNoRegularFileInItsPlaceIsRefusedAndLeftAlone)
{
    const auto folder = testing_support::makeTempFolder("tamarind-folder-lock");
    auto result = FolderLock::Result::taken;
    juce::String problem;
    const auto inFolder = folder.getChildFile("a folder");
    inFolder.createDirectory();
    EXPECT_EQ(FolderLock::take(inFolder.getFullPathName(), result, problem), nullptr);
    EXPECT_EQ(result, FolderLock::Result::failed);
    EXPECT_TRUE(problem.startsWith("Refused ")) << problem;
    EXPECT_TRUE(inFolder.isDirectory());
#if !JUCE_WINDOWS
    const auto victim = folder.getChildFile("victim.txt");
    victim.replaceWithText("precious");
    const auto link = folder.getChildFile("link.lock");
    ASSERT_TRUE(victim.createSymbolicLink(link, false));
    EXPECT_EQ(FolderLock::take(link.getFullPathName(), result, problem), nullptr);
    EXPECT_EQ(result, FolderLock::Result::failed);
    EXPECT_TRUE(problem.endsWith(": a symbolic link")) << problem;
    EXPECT_EQ(victim.loadFileAsString(), "precious");
    // A FIFO is refused without waiting for a writer.
    const auto fifo = folder.getChildFile("fifo.lock");
    ASSERT_EQ(::mkfifo(fifo.getFullPathName().toRawUTF8(), 0600), 0);
    EXPECT_EQ(FolderLock::take(fifo.getFullPathName(), result, problem), nullptr);
    EXPECT_EQ(result, FolderLock::Result::failed);
    EXPECT_TRUE(problem.endsWith(": not a regular file")) << problem;
#endif
    folder.deleteRecursively();
}
