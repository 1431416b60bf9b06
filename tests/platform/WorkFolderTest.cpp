#include "platform/WorkFolder.h"
#include "TestSupport.h"
#include <gtest/gtest.h>

#if JUCE_WINDOWS
#include <windows.h>
#endif

TEST(WorkFolder, ALockLeftInTheEarlierFolderKeepsItForTheRepair)
{
    auto root = testing_support::makeTempFolder("tamarind-workfolder");
    const auto preferred = root.getChildFile("LocalAppData/Tamarind");
    const auto earlier = root.getChildFile("Temp");
    earlier.createDirectory();
    EXPECT_EQ(platform::chooseWorkingFolder(preferred, earlier), preferred);

    // An earlier version's interrupted update: its lock and backup are found.
    earlier.getChildFile("orv_backup.tmp").replaceWithText("saved data");
    EXPECT_EQ(platform::chooseWorkingFolder(preferred, earlier), preferred);
    earlier.getChildFile("orv_update.lock").replaceWithText("ORV backup lock!");
    EXPECT_EQ(platform::chooseWorkingFolder(preferred, earlier), earlier);

    // A lock in the new folder is the newer update's: it wins.
    preferred.createDirectory();
    preferred.getChildFile("orv_update.lock").replaceWithText("ORV backup lock!");
    EXPECT_EQ(platform::chooseWorkingFolder(preferred, earlier), preferred);

    // A folder of that name is no lock.
    preferred.getChildFile("orv_update.lock").deleteFile();
    earlier.getChildFile("orv_update.lock").deleteFile();
    earlier.getChildFile("orv_update.lock").createDirectory();
    EXPECT_EQ(platform::chooseWorkingFolder(preferred, earlier), preferred);
    root.deleteRecursively();
}

TEST(WorkFolder, AFileIsSyncedAndAFolderOnlyWhereThePlatformCan)
{
    auto root = testing_support::makeTempFolder("tamarind-sync");
    const auto file = root.getChildFile("data.bin");
    file.replaceWithText("data");
    EXPECT_TRUE(platform::syncFileToDisk(file));
#if JUCE_WINDOWS
    EXPECT_FALSE(platform::syncFileToDisk(root));
#else
    EXPECT_TRUE(platform::syncFileToDisk(root));
#endif
    EXPECT_FALSE(platform::syncFileToDisk(root.getChildFile("missing.bin")));
    root.deleteRecursively();
}

#if JUCE_WINDOWS
namespace
{
// Sets an environment variable for the test's lifetime (nullptr removes it).
struct ScopedEnvironment
{
    ScopedEnvironment(const wchar_t* n, const wchar_t* value) : name(n)
    {
        wchar_t buffer[32768];
        const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
        hadValue = length > 0 && length < 32768;
        if (hadValue)
            old = buffer;
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(name, hadValue ? old.c_str() : nullptr); }

    const wchar_t* name;
    std::wstring old;
    bool hadValue = false;
};
} // namespace

TEST(WorkFolder, OnWindowsTheFolderIsLocalAppDataUnlessTheTemporaryFolderHoldsALock)
{
    auto root = testing_support::makeTempFolder("tamarind-appdata");
    const auto appData = root.getChildFile("AppData");
    const auto temp = root.getChildFile("Temp");
    appData.createDirectory();
    temp.createDirectory();
    ScopedEnvironment noOverride(L"TAMARIND_WORK_DIR", nullptr);
    ScopedEnvironment local(L"LOCALAPPDATA", appData.getFullPathName().toWideCharPointer());
    ScopedEnvironment tmp(L"TMP", temp.getFullPathName().toWideCharPointer());
    ScopedEnvironment tempVariable(L"TEMP", temp.getFullPathName().toWideCharPointer());

    const auto folder = platform::workingFolder();
    EXPECT_EQ(folder, appData.getChildFile("Tamarind"));
    EXPECT_TRUE(folder.isDirectory()); // created
    EXPECT_EQ(platform::workingFilePath("/orv_update.lock"), folder.getFullPathName() + "/orv_update.lock");

    temp.getChildFile("orv_update.lock").replaceWithText("ORV backup lock!");
    EXPECT_EQ(platform::workingFolder(), temp);
    temp.getChildFile("orv_update.lock").deleteFile();
    EXPECT_EQ(platform::workingFolder(), appData.getChildFile("Tamarind"));
    root.deleteRecursively();
}
#endif
