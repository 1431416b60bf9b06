// Power cuts at every step of an update, on the safe path (256 KiB image, the
// data region 0x40000..0x5FFFF kept) and on the plain path (512 KiB image).
//
// A reference update records, for every job, the instrument's message and
// programmed-byte counts where the job starts, and a snapshot of the flash and
// the working files. Each cut then starts from factory content and:
//  - instrument cut: the virtual piano falls silent at the start of a job, or
//    halfway through its messages, or loses power inside a sector erase or
//    halfway through the bytes a programming job writes; the program reports
//    the failure, is killed and started again against the same flash and
//    working folder;
//  - computer cut: both lose power at a job boundary; the flash and working
//    files are as they were there, and the program starts again.
// The restarted program connects and UPDATE is pressed (every question
// answered YES). The image must be in place and, on the safe path, the data
// region byte for byte as before; where the lock survives without a usable
// backup (deleted by hand, or cut short), the update must be refused with its
// status line and write nothing.
#include "ControlAccess.h"
#include "platform/WorkFolder.h"
#include "reliability/ProgramSession.h"
#include "update/ImageBuilder.h"
#include <gtest/gtest.h>

using testing_support::control;
#include <map>
#include <mutex>

using reliability::Files;
using reliability::readFolder;
using testing_support::pumpUntil;

namespace
{
constexpr int kHead = 0x100000; // every byte an update may touch lies below
constexpr juce::int64 kRegion = vp::VirtualPiano::kDataRegionStart;
constexpr juce::int64 kRegionSize = vp::VirtualPiano::kDataRegionSize;
const juce::String kRefused = "Found an error can't be fixed in the last update.";
const char* const kPianoConfig = "flash=S29GL128_S";

// One run of the program against the persisted flash.
struct Session : reliability::ProgramSession
{
    Session(const juce::File& programFolder, const juce::File& work, const juce::File& store,
            platform::Services* services = nullptr)
        : ProgramSession(reliability::virtualPiano(kPianoConfig, store), programFolder, work, nullptr,
                         services)
    {
    }
};

struct JobMark
{
    OperationRecord job;           // the job about to start
    int messages = 0;              // host messages before the job, counted from UPDATE
    juce::int64 programmed = 0;    // bytes programmed before the job
    int erases = 0;                // sector erases before the job
    std::vector<juce::uint8> head; // flash below kHead where the job starts
    Files work;                    // working files where the job starts
};

struct Tally
{
    int tried = 0, repaired = 0, refused = 0;
    juce::int64 lostBytes = 0;
    std::vector<juce::String> rows;
};

class PowerCutMatrix : public ::testing::Test
{
protected:
    void prepare(const image::ImageSpec& rom, bool safe)
    {
        safePath = safe;
        root = testing_support::makeTempFolder("tamarind-powercut");
        programFolder = root.getChildFile("program");
        programFolder.createDirectory();
        work = root.getChildFile("work");
        store = root.getChildFile("flash.bin");
        image = image::buildUpdateImage(rom);
        programFolder.getChildFile("update.rom").replaceWithData(image.getData(), image.getSize());
        {
            // Factory content, as the instrument leaves the factory.
            vp::VirtualPiano factory(
                vp::PianoConfig::parse(juce::String(kPianoConfig) + ",store=" + store.getFullPathName()));
            factoryHead.assign(factory.flashData(), factory.flashData() + kHead);
        }
        recordReference();
    }

    void TearDown() override
    {
        if (root.exists())
            root.deleteRecursively();
    }

    void restore(const std::vector<juce::uint8>& head, const Files& files)
    {
        ASSERT_TRUE(reliability::restore(store, head, work, files));
    }

    // The uncut update: job boundaries, snapshots, and the order of syncs.
    void recordReference()
    {
        restore(factoryHead, {});
        testing_support::RecordingServices services;
        Session s(programFolder, work, store, &services);
        ASSERT_TRUE(s.ready()) << s.main->getLogText();
        const int base = s.withPiano([](vp::VirtualPiano& p) { return p.messagesReceived(); });
        const auto baseBytes = s.withPiano([](vp::VirtualPiano& p) { return p.bytesProgrammed(); });
        const int baseErases = s.withPiano([](vp::VirtualPiano& p) { return p.sectorErases(); });
        bool erased = false;
        s.main->getController().getQueue().setJobObserver(
            [&](size_t, const OperationRecord& r)
            {
                JobMark m;
                m.job = r;
                s.withPiano(
                    [&](vp::VirtualPiano& p)
                    {
                        m.messages = p.messagesReceived() - base;
                        m.programmed = p.bytesProgrammed() - baseBytes;
                        m.erases = p.sectorErases() - baseErases;
                        m.head.assign(p.flashData(), p.flashData() + kHead);
                    });
                m.work = readFolder(work);
                marks.push_back(std::move(m));
                if (!erased && (jobs::is<jobs::EraseForBuffer>(r) || jobs::is<jobs::EraseFromFile>(r)))
                {
                    erased = true;
                    // Before the flash is first erased, the lock and the backup
                    // are on disk: a crash of the computer cannot lose them.
                    syncedBeforeFirstErase = services.syncedNames();
                }
            });
        s.pressUpdate();
        ASSERT_TRUE(s.finished());
        ASSERT_EQ(s.main->getStatus(), "Update OK!") << s.main->getLogText();
        endMessages = s.withPiano([](vp::VirtualPiano& p) { return p.messagesReceived(); }) - base;
    }

    // The restarted program connects; UPDATE is pressed. Checks and counts the end.
    void restartAndUpdate(const juce::String& label, bool expectRefusal = false)
    {
        ++tally.tried;
        Session s(programFolder, work, store);
        ASSERT_TRUE(s.ready()) << label << "\n" << s.main->getStatus() << "\n" << s.main->getLogText();
        ASSERT_TRUE(control<ImageButtonWithText>(s.main, "updateButton")->isEnabled()) << label;
        const std::vector<juce::uint8> before(s.flash(), s.flash() + kHead);
        s.pressUpdate();
        ASSERT_TRUE(s.finished()) << label;
        const auto status = s.main->getStatus();
        const auto* flash = s.flash();
        juce::String outcome;
        if (expectRefusal)
        {
            EXPECT_EQ(status, kRefused) << label;
            EXPECT_EQ(0, std::memcmp(flash, before.data(), before.size()))
                << label << ": refused yet written";
            // Nothing started: the controls stay as they were, the window closable.
            EXPECT_TRUE(control<ImageButtonWithText>(s.main, "updateButton")->isEnabled()) << label;
            EXPECT_FALSE(s.main->isUpdating()) << label;
            ++tally.refused;
            outcome = "refused: \"" + status + "\"";
        }
        else
        {
            EXPECT_EQ(status, "Update OK!") << label << "\n" << s.main->getLogText();
            const auto compared = safePath ? (size_t)kRegion : image.getSize();
            EXPECT_EQ(0, std::memcmp(flash, image.getData(), compared)) << label << ": image not in place";
            juce::int64 lost = 0;
            if (safePath)
                for (juce::int64 i = kRegion; i < kRegion + kRegionSize; ++i)
                    lost += flash[i] != factoryHead[(size_t)i];
            tally.lostBytes += lost;
            EXPECT_EQ(lost, 0) << label;
            if (status == "Update OK!" && lost == 0)
                ++tally.repaired;
            outcome = status == "Update OK!" ? juce::String("repaired") : "FAILED: " + status;
            if (lost != 0)
                outcome << ", " << lost << " data bytes lost";
        }
        tally.rows.push_back(label.paddedRight(' ', 72) + outcome);
    }

    // The instrument falls silent after `messages` host messages or loses
    // power after `bytes` programmed bytes (counted from UPDATE); the program
    // must end the update with a failure it reports, and is then killed.
    void cutInstrument(const juce::String& label, int messages, juce::int64 bytes, int erase = -1)
    {
        restore(factoryHead, {});
        {
            Session s(programFolder, work, store);
            ASSERT_TRUE(s.ready()) << label;
            s.withPiano(
                [&](vp::VirtualPiano& p)
                {
                    if (messages >= 0)
                        p.setSilentAfter(p.messagesReceived() + messages);
                    if (bytes >= 0)
                        p.setCutAfterBytes(p.bytesProgrammed() + bytes);
                    if (erase >= 0)
                        p.setCutInErase(p.sectorErases() + erase);
                });
            s.pressUpdate();
            ASSERT_TRUE(s.finished()) << label;
            const auto status = s.main->getStatus();
            EXPECT_NE(status, "Update OK!") << label;
            EXPECT_FALSE(status.isEmpty()) << label;
            EXPECT_TRUE(testing_support::wayOn(s.main)) << label;
        }
        restartAndUpdate(label);
    }

    void runMatrix()
    {
        ASSERT_FALSE(marks.empty());
        for (size_t k = 0; k < marks.size(); ++k)
        {
            const auto& m = marks[k];
            const int next = k + 1 < marks.size() ? marks[k + 1].messages : endMessages;
            const int count = next - m.messages;
            const auto name = juce::String(k + 1) + " " + jobs::name(m.job);

            // Computer and instrument lose power where the job would start.
            restore(m.head, m.work);
            restartAndUpdate("power lost before job " + name);
            if (testing::Test::HasFatalFailure())
                return;
            if (m.work.count("orv_update.lock") != 0)
            {
                // The backup was deleted by hand, or cut short by the disk.
                auto files = m.work;
                files.erase("orv_backup.tmp");
                restore(m.head, files);
                restartAndUpdate("power lost before job " + name + ", backup deleted", true);
                files = m.work;
                files["orv_backup.tmp"].setSize((size_t)(kRegionSize - 0x1000));
                restore(m.head, files);
                restartAndUpdate("power lost before job " + name + ", backup cut short", true);
            }
            if (count == 0)
                continue;
            cutInstrument("instrument silent at the start of job " + name, m.messages, -1);
            if (count >= 2)
                cutInstrument("instrument silent halfway through job " + name, m.messages + count / 2, -1);
            if (jobs::is<jobs::EraseFromFile>(m.job) || jobs::is<jobs::EraseForBuffer>(m.job))
                cutInstrument("instrument power cut inside a sector erase of job " + name, -1, -1,
                              m.erases + 1);
            if (jobs::is<jobs::ProgramFromFile>(m.job) || jobs::is<jobs::ProgramFromBuffer>(m.job))
            {
                const auto next = k + 1 < marks.size() ? marks[k + 1].programmed : m.programmed;
                cutInstrument("instrument power cut inside a block of job " + name, -1,
                              m.programmed + (next - m.programmed) / 2 + 100);
            }
            if (testing::Test::HasFatalFailure())
                return;
        }
    }

    void print(const char* title)
    {
        std::string text = std::string("\n") + title + "\n";
        for (const auto& row : tally.rows)
            text += "  " + row.toStdString() + "\n";
        text += "  cut points tried: " + std::to_string(tally.tried) +
                ", repaired: " + std::to_string(tally.repaired) +
                ", refused with a clear message: " + std::to_string(tally.refused) +
                ", data bytes lost: " + std::to_string(tally.lostBytes) + "\n";
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }

    bool safePath = true;
    juce::File root, programFolder, work, store;
    juce::MemoryBlock image;
    std::vector<juce::uint8> factoryHead;
    std::vector<JobMark> marks;
    int endMessages = 0;
    std::vector<juce::String> syncedBeforeFirstErase;
    Tally tally;
};
} // namespace

TEST_F(PowerCutMatrix, SafePathRepairsEveryCutAndKeepsTheData)
{
    image::ImageSpec rom;
    rom.version = "V2.00.00";
    rom.fill = "random:11";
    prepare(rom, true);
    ASSERT_FALSE(HasFatalFailure());
    // The backup read ends synced, then the lock is created synced; both
    // before the first erase.
    const auto& s = syncedBeforeFirstErase;
    const auto backup = std::find(s.begin(), s.end(), "orv_backup.tmp");
    const auto lock = std::find(s.begin(), s.end(), "orv_update.lock");
    ASSERT_NE(backup, s.end());
    ASSERT_NE(lock, s.end());
    EXPECT_LT(backup, lock);
    runMatrix();
    print("Power cuts on the safe path (256 KiB image, data region kept):");
    EXPECT_EQ(tally.repaired + tally.refused, tally.tried);
    EXPECT_EQ(tally.lostBytes, 0);
}

TEST_F(PowerCutMatrix, PlainPathRepairsEveryCut)
{
    image::ImageSpec rom;
    rom.size = 0x80000;
    rom.version = "V2.00.00";
    rom.fill = "random:12";
    prepare(rom, false);
    ASSERT_FALSE(HasFatalFailure());
    runMatrix();
    print("Power cuts on the plain path (512 KiB image):");
    EXPECT_EQ(tally.repaired + tally.refused, tally.tried);
}
