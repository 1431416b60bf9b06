// Files put in the program's way by a hostile user or program: FIFOs, links
// to devices or to other files, hard links, folders, huge sparse files. None
// may block the program, be written through, be deleted, or be read whole.
#include "EngineFixture.h"
#include "platform/SafeFile.h"
#include "platform/WorkFolder.h"
#include "update/FileSummary.h"
#include "update/ImageBuilder.h"
#include "update/UpdateImage.h"
#include <gtest/gtest.h>

#if !JUCE_WINDOWS
#include <sys/stat.h>
#include <unistd.h>

using testing_support::Recorder;

namespace
{
class HostileFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        folder = testing_support::makeTempFolder("tamarind-hostile");
        log.AttachEditor(&recorder);
    }
    void TearDown() override { folder.deleteRecursively(); }

    juce::File at(const char* name) const { return folder.getChildFile(name); }
    juce::String path(const char* name) const { return at(name).getFullPathName(); }
    juce::File fifo(const char* name) const
    {
        EXPECT_EQ(::mkfifo(path(name).toRawUTF8(), 0600), 0);
        return at(name);
    }
    juce::File link(const char* name, const juce::String& target) const
    {
        EXPECT_EQ(::symlink(target.toRawUTF8(), path(name).toRawUTF8()), 0);
        return at(name);
    }
    juce::File victim() const
    {
        const auto f = at("victim.txt");
        f.replaceWithText("precious");
        return f;
    }
    int mode(const juce::File& f) const
    {
        struct stat st;
        return ::lstat(f.getFullPathName().toRawUTF8(), &st) == 0 ? (int)(st.st_mode & 0777) : -1;
    }
    std::string logged()
    {
        testing_support::pump(1);
        return recorder.logUtf8();
    }

    juce::File folder;
    CLogOutput log;
    Recorder recorder;
};
} // namespace

// ---- the layer itself -------------------------------------------------------------

TEST_F(HostileFiles, ReadingRefusesWhatIsNotARegularFileWithoutOpeningIt)
{
    juce::String problem;
    fifo("pipe");
    EXPECT_EQ(platform::RegularFileInput::open(path("pipe"), true, problem), nullptr);
    EXPECT_EQ(problem, "Refused " + path("pipe") + ": a FIFO");
    link("zero", "/dev/zero");
    EXPECT_EQ(platform::RegularFileInput::open(path("zero"), true, problem), nullptr);
    EXPECT_EQ(problem, "Refused " + path("zero") + ": a device");
    EXPECT_EQ(platform::RegularFileInput::open(folder.getFullPathName(), true, problem), nullptr);
    EXPECT_EQ(problem, "Refused " + folder.getFullPathName() + ": a folder");

    // A link is followed only when asked.
    link("to-victim", victim().getFullPathName());
    EXPECT_NE(platform::RegularFileInput::open(path("to-victim"), true, problem), nullptr);
    EXPECT_EQ(platform::RegularFileInput::open(path("to-victim"), false, problem), nullptr);
    EXPECT_EQ(problem, "Refused " + path("to-victim") + ": a symbolic link");
    // A name cannot forge a line of the log (or a status line on standard output).
    fifo("evil\nStatus: Update OK!");
    EXPECT_EQ(platform::RegularFileInput::open(path("evil\nStatus: Update OK!"), true, problem), nullptr);
    EXPECT_EQ(problem, "Refused " + folder.getFullPathName() + "/evil?Status: Update OK!: a FIFO");
    // Missing and relative paths are plain failures, not refusals.
    EXPECT_EQ(platform::RegularFileInput::open(path("none"), true, problem), nullptr);
    EXPECT_TRUE(problem.isEmpty());
    EXPECT_EQ(platform::RegularFileInput::open("victim.txt", true, problem), nullptr);
}

TEST_F(HostileFiles, WorkingFilesArePrivateAndNeverWrittenThroughAnything)
{
    juce::String problem;
    {
        auto out = platform::WorkingFileOutput::create(path("new.bin"), problem);
        ASSERT_NE(out, nullptr);
        EXPECT_TRUE(out->write("abc", 3));
        EXPECT_EQ(out->getSize(), 3);
    }
    EXPECT_EQ(mode(at("new.bin")), 0600);
    // An existing file of ours is emptied and made private.
    at("old.bin").replaceWithText("old content");
    ::chmod(path("old.bin").toRawUTF8(), 0644);
    EXPECT_NE(platform::WorkingFileOutput::create(path("old.bin"), problem), nullptr);
    EXPECT_EQ(at("old.bin").getSize(), 0);
    EXPECT_EQ(mode(at("old.bin")), 0600);

    const auto target = victim();
    const int targetMode = mode(target);
    link("linked.bin", target.getFullPathName());
    EXPECT_EQ(::link(target.getFullPathName().toRawUTF8(), path("hard.bin").toRawUTF8()), 0);
    fifo("pipe.bin");
    at("folder.bin").createDirectory();
    const std::pair<const char*, const char*> refusals[] = {{"linked.bin", "a symbolic link"},
                                                            {"hard.bin", "it has other names (hard links)"},
                                                            {"pipe.bin", "a FIFO"},
                                                            {"folder.bin", "a folder"}};
    for (const auto& [name, why] : refusals)
    {
        EXPECT_EQ(platform::WorkingFileOutput::create(path(name), problem), nullptr) << name;
        EXPECT_EQ(problem, "Refused " + path(name) + ": " + why);
    }
    EXPECT_EQ(target.loadFileAsString(), "precious");
    EXPECT_EQ(mode(target), targetMode);
}

TEST_F(HostileFiles, RemovingLeavesFoldersAndLinksAlone)
{
    juce::String problem;
    at("lock").createDirectory(); // an empty folder, which the framework's deleteFile would remove
    EXPECT_FALSE(platform::removeWorkingFile(path("lock"), problem));
    EXPECT_EQ(problem, "Refused " + path("lock") + ": a folder");
    EXPECT_TRUE(at("lock").isDirectory());
    link("linked", victim().getFullPathName());
    EXPECT_FALSE(platform::removeWorkingFile(path("linked"), problem));
    EXPECT_TRUE(at("linked").existsAsFile());
    EXPECT_TRUE(at("victim.txt").existsAsFile());
    EXPECT_TRUE(platform::removeWorkingFile(path("victim.txt"), problem));
    EXPECT_FALSE(at("victim.txt").exists());
    EXPECT_TRUE(platform::removeWorkingFile(path("never-there"), problem)); // missing counts as removed
}

TEST_F(HostileFiles, WorkingFolderIsCreatedPrivateAndSyncingNeverWaits)
{
    const auto work = at("state/Tamarind");
    ::setenv("TAMARIND_WORK_DIR", work.getFullPathName().toRawUTF8(), 1);
    EXPECT_EQ(platform::workingFolder(), work);
    ::unsetenv("TAMARIND_WORK_DIR");
    EXPECT_TRUE(work.isDirectory());
    EXPECT_EQ(mode(work), 0700);
    // A FIFO in a synced file's place: opened without waiting, and no success.
    EXPECT_FALSE(platform::syncFileToDisk(fifo("pipe")));
}

// ---- the update image and the file summary --------------------------------------------

TEST_F(HostileFiles, UpdateImageIsRefusedBeforeAnyReadWhenItIsNoRegularFileOrTooLarge)
{
    // The result, and no byte read when the file is refused.
    auto check = [&](juce::int64 maxSize = image::kMaxImageSize)
    {
        recorder.clear();
        UpdateFileFacts facts;
        const int result = checkUpdateFile(folder.getFullPathName() + "/", "Tessaro", &log, facts, maxSize);
        EXPECT_EQ(facts.bytes.isEmpty(), result != UpdateFileOk);
        return result;
    };
    const auto rom = at("update.rom");
    fifo("update.rom"); // would block the message thread in open() for ever
    EXPECT_EQ(check(), UpdateFileMissing);
    EXPECT_EQ(logged(), "Refused " + rom.getFullPathName().toStdString() + ": a FIFO\n");
    rom.deleteFile();

    link("update.rom", "/dev/zero"); // would never end
    EXPECT_EQ(check(), UpdateFileMissing);
    EXPECT_EQ(logged(), "Refused " + rom.getFullPathName().toStdString() + ": a device\n");
    rom.deleteFile();

    // 2 GiB of holes: refused by its size, nothing of it read.
    rom.create();
    ASSERT_EQ(::truncate(rom.getFullPathName().toRawUTF8(), 0x80000000LL), 0);
    EXPECT_EQ(check(), UpdateFileBadSize);
    EXPECT_EQ(logged(), "File too large for the flash! (2147483648 bytes, the flash holds 134217728)\n");

    // A good 512 KiB image on a flash of 256 KiB would be cut short after the erase.
    image::ImageSpec largeImage;
    largeImage.size = 0x80000;
    const auto good = image::buildUpdateImage(largeImage);
    rom.replaceWithData(good.getData(), good.getSize());
    EXPECT_EQ(check(0x40000), UpdateFileBadSize);
    EXPECT_EQ(logged(), "File too large for the flash! (524288 bytes, the flash holds 262144)\n");
    EXPECT_EQ(check(0x80000), UpdateFileOk);

    // A link to a good image is followed, and the bytes checked are kept.
    const auto elsewhere = at("elsewhere.rom");
    rom.moveFileTo(elsewhere);
    link("update.rom", elsewhere.getFullPathName());
    UpdateFileFacts facts;
    EXPECT_EQ(checkUpdateFile(folder.getFullPathName() + "/", "Tessaro", nullptr, facts), UpdateFileOk);
    EXPECT_EQ(facts.bytes, good);
}

TEST_F(HostileFiles, FileSummaryNeverWaitsOnAFifoOrReadsADevice)
{
    juce::uint32 sum = 1;
    fifo("pipe.bin");
    EXPECT_EQ(summary::fileByteSum(path("pipe.bin"), sum), -1);
    EXPECT_EQ(summary::md5Line(path("pipe.bin"), 0), summary::cannotOpen);
    link("zero.bin", "/dev/zero");
    EXPECT_EQ(summary::fileByteSum(path("zero.bin"), sum), -1);
    EXPECT_EQ(summary::md5Line(path("zero.bin"), 0), summary::cannotOpen);
    // A large file's sum pass stops when asked.
    const auto big = at("big.bin");
    big.create();
    ASSERT_EQ(::truncate(big.getFullPathName().toRawUTF8(), 0x10000000LL), 0);
    int blocks = 0;
    EXPECT_EQ(summary::fileByteSum(big.getFullPathName(), sum, {}, [&] { return ++blocks == 3; }),
              0x10000000LL);
    EXPECT_EQ(blocks, 3);
}

// ---- the device link's working files ----------------------------------------------------

namespace
{
using LinkFiles = testing_support::EngineFixture;
}

TEST_F(LinkFiles, ReadsAndLocksAreNeverWrittenThroughALinkOrIntoAFifo)
{
    connect("flash=S29GL128_S");
    uploadDriverFor("S29GL128_S");
    const auto victim = file("victim.txt");
    victim.replaceWithText("precious");
    const auto linked = file("orv_read_version.bin");
    ASSERT_EQ(::symlink(victim.getFullPathName().toRawUTF8(), linked.getFullPathName().toRawUTF8()), 0);
    queue->add(jobs::ReadToFile{linked.getFullPathName(), 0, 0x1F000, 0x2000, 0, 100});
    auto outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::cantCreateFile);
    EXPECT_EQ(log(), "Refused " + linked.getFullPathName().toStdString() +
                         ": a symbolic link\nCan't create file to save.\n");

    const auto lock = file("orv_update.lock");
    ASSERT_EQ(::symlink(victim.getFullPathName().toRawUTF8(), lock.getFullPathName().toRawUTF8()), 0);
    queue->clearQueue();
    queue->add(jobs::LockFile{lock.getFullPathName(), LockMode::create});
    outcome = runQueue();
    EXPECT_FALSE(outcome.ok); // no backup read by this link: refused before the lock is looked at
    queue->clearQueue();
    queue->add(jobs::LockFile{lock.getFullPathName(), LockMode::remove});
    outcome = runQueue();
    EXPECT_EQ(outcome.reason, StepFailure::cantDeleteLock);
    EXPECT_TRUE(lock.existsAsFile()); // the link is left, and so is what it names
    EXPECT_EQ(victim.loadFileAsString(), "precious");

    const auto pipe = file("orv_tmp_read.tmp");
    ASSERT_EQ(::mkfifo(pipe.getFullPathName().toRawUTF8(), 0600), 0);
    queue->clearQueue();
    queue->add(jobs::ReadToFile{pipe.getFullPathName(), 0, 0, 0x1000, 0, 100});
    EXPECT_EQ(runQueue().reason, StepFailure::cantCreateFile);
    // Nor is a backup read through a link into the flash.
    recorder.clear();
    queue->clearQueue();
    queue->add(jobs::ProgramFromFile{linked.getFullPathName(), 0, 0, 0x40000, 0, 0, 100});
    EXPECT_EQ(runQueue().reason, StepFailure::cantOpenFileToProgram);
    EXPECT_EQ(log(), "Refused " + linked.getFullPathName().toStdString() +
                         ": a symbolic link\nCan't open file to program.\n");
}

TEST_F(LinkFiles, ReadBackIsComparedWithBytesInMemory)
{
    connect("flash=S29GL128_S");
    const auto data = testing_support::patternBlock(0x3000, 7);
    const auto readBack = writeFile("read.bin", data);
    const auto* bytes = static_cast<const juce::uint8*>(data.getData());
    queue->add(jobs::CompareWithBuffer{bytes, (juce::int64)data.getSize(), readBack.getFullPathName()});
    EXPECT_TRUE(runQueue().ok);
    EXPECT_EQ(log(), "Start comparing...\n\nOK!\n");

    auto changed = data;
    static_cast<juce::uint8*>(changed.getData())[0x2FFF] ^= 1;
    recorder.clear();
    queue->clearQueue();
    queue->add(jobs::CompareWithBuffer{static_cast<const juce::uint8*>(changed.getData()),
                                       (juce::int64)changed.getSize(), readBack.getFullPathName()});
    const auto outcome = runQueue();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.reason, StepFailure::dataNotCorrect);
    EXPECT_EQ(log(), "Start comparing...\n\nFAIL!\n");
}
#endif

#if !JUCE_WINDOWS
TEST(PrivateFiles, OnlyTheUsersOwnUnsharedFilesAndFoldersArePrivate)
{
    const auto root = testing_support::makeTempFolder("tamarind-private");
    const auto folder = root.getChildFile("work");
    ASSERT_TRUE(platform::createPrivateFolder(folder));
    juce::String problem;
    EXPECT_TRUE(platform::isPrivate(folder.getFullPathName(), problem)) << problem;
    EXPECT_TRUE(platform::isPrivate(folder.getChildFile("missing").getFullPathName(), problem));
    const auto file = folder.getChildFile("orv_backup.tmp");
    file.replaceWithText("x");
    for (const int mode : {0600, 0644, 0620, 0602, 0666})
    {
        ASSERT_EQ(::chmod(file.getFullPathName().toRawUTF8(), (mode_t)mode), 0);
        EXPECT_EQ(platform::isPrivate(file.getFullPathName(), problem), (mode & 022) == 0)
            << std::oct << mode;
        EXPECT_EQ(problem.isEmpty(), (mode & 022) == 0);
    }
    ASSERT_EQ(::chmod(folder.getFullPathName().toRawUTF8(), 0770), 0);
    EXPECT_FALSE(platform::isPrivate(folder.getFullPathName(), problem));
    EXPECT_EQ(problem, "Refused " + folder.getFullPathName() + ": other users can write to it");
    // Another user's file (the root's folder stands in for one).
    if (::geteuid() != 0)
    {
        EXPECT_FALSE(platform::isPrivate("/", problem));
        EXPECT_EQ(problem, "Refused /: it belongs to another user");
    }
    root.deleteRecursively();
}
#endif
