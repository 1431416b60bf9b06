// An interrupted update's backup belongs to its piano. Piano A's update is cut
// off halfway through; then, from the same working folder:
// - piano B (same flash, its own data) is connected and UPDATE pressed;
// - piano C (another flash) is connected;
// - the backup is changed, or its record removed and the backup replaced;
// and nothing may move A's data into another piano, or another piano's data
// into A. A, connected again, is repaired with its own data.
#include "ControlAccess.h"
#include "device/BackupRecord.h"
#include "reliability/ProgramSession.h"
#include "update/ImageBuilder.h"
#include <gtest/gtest.h>
#if !JUCE_WINDOWS
#include <sys/stat.h>
#endif

namespace
{
constexpr int kHead = 0x100000;
constexpr juce::int64 kRegion = vp::VirtualPiano::kDataRegionStart;
constexpr juce::int64 kRegionSize = vp::VirtualPiano::kDataRegionSize;
const juce::String kAnother = "The saved backup belongs to another piano. Nothing was changed.";

class BackupOwner : public ::testing::Test
{
protected:
    void SetUp() override
    {
        root = testing_support::makeTempFolder("tamarind-owner");
        programFolder = root.getChildFile("program");
        programFolder.createDirectory();
        work = root.getChildFile("work");
        work.createDirectory();
        image::ImageSpec rom;
        rom.size = 0x40000;
        rom.version = "V2.00.00";
        rom.fill = "random:5";
        image = image::buildUpdateImage(rom);
        programFolder.getChildFile("update.rom").replaceWithData(image.getData(), image.getSize());
    }

    void TearDown() override
    {
        if (root.exists())
            root.deleteRecursively();
    }

    // A piano's flash with factory content and a data region of its own.
    juce::File makePiano(const juce::String& name, const juce::String& flash)
    {
        auto store = root.getChildFile(name + ".bin");
        {
            vp::VirtualPiano factory(
                vp::PianoConfig::parse("flash=" + flash + ",store=" + store.getFullPathName()));
        }
        juce::MemoryBlock flashData;
        store.loadFileAsData(flashData);
        auto* region = static_cast<juce::uint8*>(flashData.getData()) + kRegion;
        for (juce::int64 i = 0; i < kRegionSize; i += 64)
            std::snprintf(reinterpret_cast<char*>(region + i), 64, "%s's own data at %06X", name.toRawUTF8(),
                          (unsigned)i);
        store.replaceWithData(flashData.getData(), flashData.getSize());
        return store;
    }

    static std::vector<juce::uint8> head(const juce::File& store)
    {
        juce::MemoryBlock data;
        store.loadFileAsData(data);
        auto* p = static_cast<const juce::uint8*>(data.getData());
        return {p, p + kHead};
    }

    std::unique_ptr<reliability::ProgramSession> session(const juce::File& store, const juce::String& config)
    {
        return std::make_unique<reliability::ProgramSession>(
            reliability::virtualPiano(config + ",store=" + store.getFullPathName()), programFolder, work);
    }

    // A's update, cut off by a power loss once 96 KiB are programmed (the
    // data region is erased by then and the interim program written).
    void interruptA()
    {
        auto s = session(storeA, "flash=S29GL512_S,cut_after=98304");
        ASSERT_TRUE(s->ready()) << s->log();
        s->pressUpdate();
        ASSERT_TRUE(s->finished());
        ASSERT_NE(s->main->getStatus(), "Update OK!");
        ASSERT_TRUE(work.getChildFile("orv_update.lock").existsAsFile());
        ASSERT_TRUE(work.getChildFile(backuprecord::kFileName).existsAsFile());
    }

    // Connects, presses UPDATE, and returns the status it ended with.
    juce::String update(const juce::File& store, const juce::String& flash, juce::String* log = nullptr)
    {
        auto s = session(store, "flash=" + flash);
        testing_support::pumpUntil(
            [&] { return s->main->getController().phase() == UpdateController::Phase::ready; }, 20000);
        s->pressUpdate();
        s->finished();
        // The log file is written on its own thread: wait for the status line.
        const auto logFile = work.getChildFile("Tamarind.log");
        const auto status = "Status: " + s->main->getStatus();
        testing_support::pumpUntil([&] { return logFile.loadFileAsString().contains(status); }, 5000);
        if (log != nullptr)
            *log = logFile.loadFileAsString();
        return s->main->getStatus();
    }

    void expectARepaired()
    {
        juce::String log;
        EXPECT_EQ(update(storeA, "S29GL512_S", &log), "Update OK!") << log;
        const auto now = head(storeA);
        EXPECT_TRUE(
            std::equal(now.begin() + kRegion, now.begin() + kRegion + kRegionSize, headA.begin() + kRegion))
            << "A's data region is not A's own";
        EXPECT_TRUE(
            std::equal(now.begin(), now.begin() + 0x40000, static_cast<const juce::uint8*>(image.getData())));
    }

    juce::File root, programFolder, work, storeA;
    juce::MemoryBlock image;
    std::vector<juce::uint8> headA;
};
} // namespace

TEST_F(BackupOwner, AnotherPianoIsNeverGivenTheBackup)
{
    storeA = makePiano("A", "S29GL512_S");
    headA = head(storeA);
    const auto storeB = makePiano("B", "S29GL512_S");
    const auto headB = head(storeB);
    const auto storeC = makePiano("C", "S29GL256_S");
    const auto headC = head(storeC);
    interruptA();
    const auto record = juce::File(work.getChildFile(backuprecord::kFileName)).loadFileAsString();
    EXPECT_TRUE(record.contains("flash=\"S29GL512_S\"")) << record;
    EXPECT_TRUE(record.contains("input=\"Virtual Piano\"")) << record;
    EXPECT_TRUE(record.contains("version=\"V1.00.00\"")) << record;

    // B looks like A to the protocol: its data region tells it apart.
    {
        auto s = session(storeB, "flash=S29GL512_S");
        ASSERT_TRUE(s->ready());
        const auto logFile = work.getChildFile("Tamarind.log");
        EXPECT_TRUE(testing_support::pumpUntil(
            [&]
            {
                return logFile.loadFileAsString().contains(
                    "The interrupted update was of the piano on input \"Virtual Piano\"");
            },
            5000))
            << logFile.loadFileAsString();
    }
    juce::String log;
    EXPECT_EQ(update(storeB, "S29GL512_S", &log), kAnother);
    EXPECT_NE(log.indexOf("belongs to another piano"), -1) << log;
    EXPECT_EQ(head(storeB), headB) << "B was changed";
    EXPECT_TRUE(work.getChildFile("orv_update.lock").existsAsFile());

    // C has another flash: the notice at connection says so, and UPDATE writes nothing.
    {
        auto s = session(storeC, "flash=S29GL256_S");
        EXPECT_TRUE(testing_support::pumpUntil(
            [&] { return s->main->getStatus().startsWith("An earlier update of another piano"); }, 20000))
            << s->log();
    }
    EXPECT_EQ(update(storeC, "S29GL256_S"), kAnother);
    EXPECT_EQ(head(storeC), headC) << "C was changed";

    expectARepaired();
}

TEST_F(BackupOwner, AChangedOrReplacedBackupIsNotWritten)
{
    storeA = makePiano("A", "S29GL512_S");
    headA = head(storeA);
    interruptA();
    const auto backup = work.getChildFile("orv_backup.tmp");
    juce::MemoryBlock saved;
    backup.loadFileAsData(saved);

    // One byte changed since the cut.
    auto changed = saved;
    static_cast<juce::uint8*>(changed.getData())[100] ^= 0x01;
    backup.replaceWithData(changed.getData(), changed.getSize());
    const auto cut = head(storeA);
    juce::String log;
    EXPECT_EQ(update(storeA, "S29GL512_S", &log), kAnother);
    EXPECT_NE(log.indexOf("has changed since it was saved"), -1) << log;
    EXPECT_EQ(head(storeA), cut);

    // A record that is no record.
    backup.replaceWithData(saved.getData(), saved.getSize());
    const auto recordFile = work.getChildFile(backuprecord::kFileName);
    const auto record = recordFile.loadFileAsString();
    recordFile.replaceWithText("<TamarindBackup");
    EXPECT_EQ(update(storeA, "S29GL512_S"), kAnother);
    EXPECT_EQ(head(storeA), cut);

    recordFile.replaceWithText(record);
    expectARepaired();
}

// Without a record (an earlier version's backup), the data region decides:
// an intact data region of another piano does not fit.
TEST_F(BackupOwner, WithoutARecordTheDataRegionDecides)
{
    storeA = makePiano("A", "S29GL512_S");
    headA = head(storeA);
    const auto storeB = makePiano("B", "S29GL512_S");
    const auto headB = head(storeB);
    interruptA();
    work.getChildFile(backuprecord::kFileName).deleteFile();
    EXPECT_EQ(update(storeB, "S29GL512_S"), kAnother);
    EXPECT_EQ(head(storeB), headB);
    expectARepaired();
}

TEST(BackupRecordFit, FormsOfTheBackupOrTheInterimFitAndOthersDoNot)
{
    const int block = 16;
    std::vector<juce::uint8> backup(64), interim(32), region(64);
    for (size_t i = 0; i < backup.size(); ++i)
        backup[i] = (juce::uint8)(0x5A ^ i);
    for (size_t i = 0; i < interim.size(); ++i)
        interim[i] = (juce::uint8)(0x33 + i);
    auto fits = [&](int* bad = nullptr)
    { return backuprecord::regionFits(region.data(), backup.data(), 64, interim.data(), 32, block, bad); };
    region = backup;
    EXPECT_TRUE(fits());
    std::fill(region.begin(), region.end(), 0xFF);
    EXPECT_TRUE(fits());
    // Block by block: the interim (programmed halfway), the backup half erased,
    // erased, the backup.
    std::copy(interim.begin(), interim.begin() + 8, region.begin());
    for (int i = 16; i < 32; ++i)
        region[(size_t)i] = (juce::uint8)(backup[(size_t)i] | 0xF0);
    std::copy(backup.begin() + 48, backup.end(), region.begin() + 48);
    EXPECT_TRUE(fits());
    // One bit cleared that neither has clear.
    region[50] = (juce::uint8)(backup[50] & (backup[50] - 1)); // its lowest 1 bit cleared
    ASSERT_NE(region[50], backup[50]);
    int bad = -1;
    EXPECT_FALSE(fits(&bad));
    EXPECT_EQ(bad, 3);
    // Past the interim's end, its form is erased flash only.
    region = backup;
    region[40] = 0x00;
    EXPECT_FALSE(fits(&bad));
    EXPECT_EQ(bad, 2);
}

TEST(BackupRecordFile, RoundTripsAndRefusesWhatIsNoRecord)
{
    const auto root = testing_support::makeTempFolder("tamarind-record");
    const auto file = root.getChildFile(backuprecord::kFileName);
    BackupRecord r;
    r.flashModel = "S29GL512_S";
    r.inputPort = "Piano\nStatus: Update OK!"; // a port name that would forge a log line
    r.outputPort = "Piano";
    r.version = "V1.00.00";
    r.backupLength = 0x20000;
    r.backupMd5 = juce::String::repeatedString("ab", 16);
    juce::String problem;
    ASSERT_TRUE(backuprecord::write(file, r, problem, platform::Services::system())) << problem;
    const auto back = backuprecord::read(file, problem);
    ASSERT_TRUE(back.has_value()) << problem;
    EXPECT_EQ(back->inputPort, r.inputPort);
    EXPECT_EQ(back->backupLength, r.backupLength);
    EXPECT_FALSE(back->describe().containsChar('\n'));
    EXPECT_FALSE(backuprecord::read(root.getChildFile("missing.xml"), problem).has_value());
    EXPECT_TRUE(problem.isEmpty());
    for (const juce::String text : {"", "<other/>", "<TamarindBackup backupMd5=\"x\"/>", "not xml"})
    {
        file.replaceWithText(text);
        EXPECT_FALSE(backuprecord::read(file, problem).has_value()) << text;
        EXPECT_NE(problem.indexOf("not a backup record"), -1) << text;
    }
    file.replaceWithText(juce::String::repeatedString(" ", 70000));
    EXPECT_FALSE(backuprecord::read(file, problem).has_value());
    EXPECT_NE(problem.indexOf("too large"), -1);
#if !JUCE_WINDOWS
    file.deleteFile();
    ASSERT_EQ(::mkfifo(file.getFullPathName().toRawUTF8(), 0600), 0);
    EXPECT_FALSE(backuprecord::read(file, problem).has_value()); // never waits for a writer
    EXPECT_NE(problem.indexOf("a FIFO"), -1) << problem;
#endif
    root.deleteRecursively();
}
