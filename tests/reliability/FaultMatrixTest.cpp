// Faults during an update: a silent instrument in each kind of job, lost
// replies, wrong read checksums, status 2 and 3, a second instrument, a TCP
// peer that vanishes, a full disk and an unwritable working folder, and
// "update.rom" changing after it was checked. Each must end with a clear
// status line and log line, no update left running (the window closes), the
// controls usable, and the flash either untouched or holding the image.
#include "ControlAccess.h"
#include "reliability/ProgramSession.h"
#include "update/ImageBuilder.h"
#include "virtual-piano/TcpPianoServer.h"
#include <gtest/gtest.h>

using testing_support::control;

#if !JUCE_WINDOWS
#include <csignal>
#include <sys/resource.h>
#endif

using reliability::ProgramSession;

namespace
{
enum class FlashAfter
{
    untouched, // nothing written: the flash is as before UPDATE
    image,     // the image in place and the data region kept
    any        // cut mid-way: the power-cut matrix covers the repair
};

struct Env;
using Step = std::function<void(Env&)>;

struct FaultCase
{
    const char* name;
    Step arrange;         // after connecting, before UPDATE
    juce::String status;  // the status line at the end
    juce::String logLine; // a line the log must hold
    FlashAfter flash;
    juce::String pianoConfig = "flash=S29GL128_S";
    bool pressUpdate = true;
    bool whileConnecting = false; // `arrange` runs before the program connects
};

// A kind of job, as jobs::is<Kind>.
using JobKind = bool (*)(const OperationRecord&);

struct Env
{
    ProgramSession& session;
    juce::File programFolder, work;

    // Runs `fn` on the instrument when the `occurrence`th job of kind `is` is about to start.
    void atJob(JobKind is, int occurrence, std::function<void(vp::VirtualPiano&)> fn)
    {
        auto seen = std::make_shared<int>(0);
        session.main->getController().getQueue().setJobObserver(
            [this, is, occurrence, fn, seen](size_t, const OperationRecord& r)
            {
                if (is(r) && ++*seen == occurrence)
                    session.withPiano([&](vp::VirtualPiano& p) { fn(p); });
            });
    }
    // Runs `fn` (on the message thread) when that job is about to start.
    void atJobDo(JobKind is, int occurrence, std::function<void()> fn)
    {
        auto seen = std::make_shared<int>(0);
        session.main->getController().getQueue().setJobObserver(
            [is, occurrence, fn, seen](size_t, const OperationRecord& r)
            {
                if (is(r) && ++*seen == occurrence)
                    fn();
            });
    }
};

#if !JUCE_WINDOWS
// A full disk: files of this process cannot grow past `bytes`.
struct FileSizeLimit
{
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
    rlimit saved{};
};
#endif

int messages(vp::VirtualPiano& p)
{
    return p.messagesReceived();
}

const juce::String kTimeOut = "Time out!";
const juce::String kNoResponse = "The device has no response.\n";
const juce::String kCantSave = "Can't create file to save data.";

class FaultMatrix : public ::testing::Test
{
protected:
    void SetUp() override
    {
        root = testing_support::makeTempFolder("tamarind-faults");
        programFolder = root.getChildFile("program");
        programFolder.createDirectory();
        work = root.getChildFile("work");
        rom.version = "V2.00.00";
        rom.fill = "random:21";
        image = image::buildUpdateImage(rom);
    }
    void TearDown() override { root.deleteRecursively(); }

    void freshFolders()
    {
        work.deleteRecursively();
        work.createDirectory();
        programFolder.getChildFile("update.rom").replaceWithData(image.getData(), image.getSize());
    }

    bool imageInPlace(const juce::uint8* flash, const std::vector<juce::uint8>& before) const
    {
        return std::memcmp(flash, image.getData(), 0x40000) == 0 &&
               std::memcmp(flash + 0x40000, before.data() + 0x40000, 0x20000) == 0;
    }

    // Checks the end of a case and adds its row to the table.
    void judge(const FaultCase& c, ProgramSession& s, const std::vector<juce::uint8>& before,
               const juce::uint8* flash)
    {
        const auto status = s.main->getStatus();
        const auto log = s.log();
        EXPECT_EQ(status, c.status) << c.name << "\n" << log;
        EXPECT_TRUE(log.contains(c.logLine)) << c.name << ": no \"" << c.logLine << "\" in\n" << log;
        EXPECT_FALSE(s.main->isUpdating()) << c.name << ": the window would refuse to close";
        EXPECT_FALSE(control<juce::ProgressBar>(s.main, "progressBar")->isVisible()) << c.name;
        EXPECT_TRUE(testing_support::wayOn(s.main)) << c.name << ": no way on";
        if (c.flash == FlashAfter::untouched)
        {
            EXPECT_EQ(0, std::memcmp(flash, before.data(), before.size())) << c.name << ": flash written";
        }
        if (c.flash == FlashAfter::image)
        {
            EXPECT_TRUE(imageInPlace(flash, before)) << c.name;
        }
        rows.push_back(juce::String(c.name).paddedRight(' ', 58) + "\"" + status + "\"");
    }

    void run(const FaultCase& c)
    {
        freshFolders();
        ProgramSession s(reliability::virtualPiano(c.pianoConfig), programFolder, work);
        Env env{s, programFolder, work};
        const std::vector<juce::uint8> before(s.flash(), s.flash() + 0x80000);
        if (c.whileConnecting)
        {
            c.arrange(env);
            testing_support::pumpUntil([&] { return s.main->getStatus() == c.status; }, 20000);
            testing_support::pump(20);
            judge(c, s, before, s.flash());
            return;
        }
        ASSERT_TRUE(s.ready()) << c.name << "\n" << s.log();
        if (c.arrange)
            c.arrange(env);
        if (c.pressUpdate && control<ImageButtonWithText>(s.main, "updateButton")->isEnabled())
            s.pressUpdate();
        ASSERT_TRUE(s.finished()) << c.name << "\n" << s.log();
        testing_support::pump(20); // log lines posted at the end
        judge(c, s, before, s.flash());
    }

    void print()
    {
        std::string text = "\nFaults during an update and how each ends (status line):\n";
        for (const auto& row : rows)
            text += "  " + row.toStdString() + "\n";
        text +=
            "  faults tried: " + std::to_string(rows.size()) + ", each ended with its status and log line\n";
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }

    juce::File root, programFolder, work;
    image::ImageSpec rom;
    juce::MemoryBlock image;
    std::vector<juce::String> rows;
};
} // namespace

TEST_F(FaultMatrix, EveryFaultEndsWithAClearStatusAndUsableControls)
{
    auto silentAt = [](JobKind is, int occurrence, int after)
    {
        return [=](Env& e)
        { e.atJob(is, occurrence, [after](vp::VirtualPiano& p) { p.setSilentAfter(messages(p) + after); }); };
    };
#if !JUCE_WINDOWS
    // The disk fills up when the given read starts (the limit lives as long
    // as the session's job observer).
    auto diskFullAt = [](int occurrence)
    {
        return [=](Env& e)
        {
            auto limit = std::make_shared<std::unique_ptr<FileSizeLimit>>();
            e.atJobDo(jobs::is<jobs::ReadToFile>, occurrence,
                      [limit] { *limit = std::make_unique<FileSizeLimit>(0x10000); });
        };
    };
#endif
    const std::vector<FaultCase> cases = {
        {"instrument silent during the flash test at connection", silentAt(jobs::is<jobs::TestFlash>, 1, 0),
         kTimeOut, kNoResponse, FlashAfter::untouched, "flash=S29GL128_S", false, true},
        {"instrument silent during the version read at connection",
         silentAt(jobs::is<jobs::ReadToFile>, 1, 0), kTimeOut, kNoResponse, FlashAfter::untouched,
         "flash=S29GL128_S", false, true},
        {"instrument silent during a driver upload", silentAt(jobs::is<jobs::SendDriver>, 1, 0), kTimeOut,
         kNoResponse, FlashAfter::untouched},
        {"instrument silent during the backup read", silentAt(jobs::is<jobs::ReadToFile>, 1, 0), kTimeOut,
         "Time out, retry...1,2,3,4,5,6,7,8,9,10" + kNoResponse, FlashAfter::untouched},
        {"instrument silent during an erase run", silentAt(jobs::is<jobs::EraseForBuffer>, 1, 0), kTimeOut,
         kNoResponse, FlashAfter::any},
        {"instrument silent programming from memory", silentAt(jobs::is<jobs::ProgramFromBuffer>, 1, 2),
         kTimeOut, kNoResponse, FlashAfter::any},
        {"instrument silent programming from a file", silentAt(jobs::is<jobs::ProgramFromFile>, 1, 2),
         kTimeOut, kNoResponse, FlashAfter::any},
        {"instrument silent saving the I/O status", silentAt(jobs::is<jobs::SaveIoStatus>, 1, 0), kTimeOut,
         kNoResponse, FlashAfter::any},
        {"instrument silent during the read-back", silentAt(jobs::is<jobs::ReadToFile>, 2, 3), kTimeOut,
         kNoResponse, FlashAfter::image},
        {"reply lost while programming",
         [](Env& e)
         {
             e.atJob(jobs::is<jobs::ProgramFromFile>, 1,
                     [](vp::VirtualPiano& p) { p.setDropReply(messages(p) + 3); });
         },
         kTimeOut, kNoResponse, FlashAfter::any},
        {"data packet lost while reading (retried)",
         [](Env& e) {
             e.atJob(jobs::is<jobs::ReadToFile>, 1,
                     [](vp::VirtualPiano& p) { p.setDropReply(messages(p) + 2); });
         },
         "Update OK!", "Time out, retry...1", FlashAfter::image},
        {"read block checksum wrong once (fetched again)",
         [](Env& e)
         {
             e.atJob(jobs::is<jobs::ReadToFile>, 1,
                     [](vp::VirtualPiano& p) { p.setCorruptBlock(p.readRequestsSoFar() + 3, false); });
         },
         "Update OK!", "Reading...\n.Read finished", FlashAfter::image},
        {"read block checksum always wrong",
         [](Env& e)
         {
             e.atJob(jobs::is<jobs::ReadToFile>, 1,
                     [](vp::VirtualPiano& p) { p.setCorruptBlock(p.readRequestsSoFar() + 3, true); });
         },
         "The data read from flash is not correct.",
         "................\nThe read block's checksum is still wrong after 16 attempts.\n",
         FlashAfter::untouched},
        {"status 2 during an erase",
         [](Env& e) {
             e.atJob(jobs::is<jobs::EraseForBuffer>, 1,
                     [](vp::VirtualPiano& p) { p.setStatus2At(messages(p) + 1); });
         },
         kTimeOut, "Timer out when operating the flash.\n", FlashAfter::any},
        {"status 3 while programming",
         [](Env& e)
         {
             e.atJob(jobs::is<jobs::ProgramFromFile>, 1,
                     [](vp::VirtualPiano& p) { p.setStatus3At(messages(p) + 2); });
         },
         kTimeOut, kNoResponse, FlashAfter::any},
        {"status 3 while reading (retried)",
         [](Env& e) {
             e.atJob(jobs::is<jobs::ReadToFile>, 1,
                     [](vp::VirtualPiano& p) { p.setStatus3At(messages(p) + 1); });
         },
         "Update OK!", "Time out, retry...1", FlashAfter::image},
        {"second instrument answering the scan",
         {},
         "Piano connected.",
         "Two or more devices! Please check it!\n",
         FlashAfter::untouched,
         "flash=S29GL128_S,instruments=2",
         false},
        {"backup file cannot be created",
         [](Env& e) { e.work.getChildFile("orv_backup.tmp").createDirectory(); }, kCantSave,
         "Can't create file to save.\n", FlashAfter::untouched},
        {"working folder gone unwritable at the backup read",
         [](Env& e)
         {
             e.atJobDo(jobs::is<jobs::ReadToFile>, 1,
                       [&e]
                       {
                           e.work.deleteRecursively();
                           e.work.replaceWithText("not a folder");
                       });
         },
         kCantSave, "Can't create file to save.\n", FlashAfter::untouched},
        {"read-back file cannot be created",
         [](Env& e)
         {
             e.atJobDo(jobs::is<jobs::ReadToFile>, 2,
                       [&e]
                       {
                           e.work.getChildFile("orv_tmp_read.tmp").deleteFile();
                           e.work.getChildFile("orv_tmp_read.tmp").createDirectory();
                       });
         },
         kCantSave, "Can't create file to save.\n", FlashAfter::image},
#if !JUCE_WINDOWS
        {"disk full during the backup read", diskFullAt(1), kCantSave, "Can't create file to save.\n",
         FlashAfter::untouched},
        {"disk full during the read-back", diskFullAt(2), kCantSave, "Can't create file to save.\n",
         FlashAfter::image},
#endif
        {"update.rom removed after the check",
         [](Env& e) { e.programFolder.getChildFile("update.rom").deleteFile(); },
         "The update file can't be opened!", "The update file has changed since it was checked.\n",
         FlashAfter::untouched},
        {"update.rom replaced by a cut-short file",
         [](Env& e) { e.programFolder.getChildFile("update.rom").replaceWithText("short"); },
         "No version infomation found in the update file!",
         "The update file has changed since it was checked.\n", FlashAfter::untouched},
    };
    for (const auto& c : cases)
    {
        run(c);
        if (HasFatalFailure())
            break;
    }
    print();
}

// The piano switched off in each kind of job of an update and on again once
// "Time out!" shows: the program pairs with it by itself, tells of the
// interrupted update where the flash was already being changed, and the next
// UPDATE leaves the image in place and the data region as it was.
TEST_F(FaultMatrix, PowerCycledInEachKindOfJobIsPairedAgainAndUpdated)
{
    const struct
    {
        const char* name;
        JobKind is;
        int occurrence;
    } cycles[] = {{"driver upload", jobs::is<jobs::SendDriver>, 1},
                  {"backup read", jobs::is<jobs::ReadToFile>, 1},
                  {"lock creation", jobs::is<jobs::LockFile>, 1},
                  {"erase run", jobs::is<jobs::EraseForBuffer>, 1},
                  {"programming from memory", jobs::is<jobs::ProgramFromBuffer>, 1},
                  {"read-back", jobs::is<jobs::ReadToFile>, 2},
                  {"restoring the data region", jobs::is<jobs::ProgramFromFile>, 1}};
    std::string text = "\nPower cycles during an update (off in the job, on after \"Time out!\"):\n";
    int tried = 0;
    for (const auto& c : cycles)
    {
        SCOPED_TRACE(c.name);
        freshFolders();
        ProgramSession s(reliability::virtualPiano("flash=S29GL128_S"), programFolder, work);
        Env env{s, programFolder, work};
        const std::vector<juce::uint8> before(s.flash(), s.flash() + 0x80000);
        ASSERT_TRUE(s.ready()) << s.log();
        env.atJobDo(c.is, c.occurrence, [&s] { s.piano->setPlugged(false); });
        s.pressUpdate();
        ASSERT_TRUE(s.finished()) << s.log();
        ASSERT_EQ(s.main->getStatus(), kTimeOut) << s.log();
        s.main->getController().getQueue().setJobObserver({});
        const bool locked = work.getChildFile("orv_update.lock").existsAsFile();
        s.piano->setPlugged(true);
        ASSERT_TRUE(s.ready()) << s.log();
        const auto notice = s.main->getStatus();
        EXPECT_EQ(notice != "Piano connected.", locked) << s.log();
        s.pressUpdate();
        ASSERT_TRUE(s.finished()) << s.log();
        EXPECT_EQ(s.main->getStatus(), "Update OK!") << s.log();
        EXPECT_TRUE(imageInPlace(s.flash(), before));
        EXPECT_FALSE(work.getChildFile("orv_update.lock").exists());
        text += "  " + juce::String(c.name).paddedRight(' ', 28).toStdString() + "then \"" +
                notice.toStdString() + "\", then \"" + s.main->getStatus().toStdString() + "\"\n";
        ++tried;
    }
    text += "  power cycles tried: " + std::to_string(tried) + ", each paired again and updated\n";
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

TEST_F(FaultMatrix, AnotherGoodImageAfterTheCheckIsShownBeforeItIsWritten)
{
    freshFolders();
    ProgramSession s(reliability::virtualPiano("flash=S29GL128_S"), programFolder, work);
    ASSERT_TRUE(s.ready());
    const std::vector<juce::uint8> before(s.flash(), s.flash() + 0x80000);
    image::ImageSpec other = rom;
    other.version = "V3.00.00";
    other.fill = "random:22";
    const auto otherImage = image::buildUpdateImage(other);
    programFolder.getChildFile("update.rom").replaceWithData(otherImage.getData(), otherImage.getSize());
    s.pressUpdate();
    EXPECT_EQ(s.main->getStatus(), "The update file has changed. Press UPDATE again.");
    EXPECT_FALSE(s.main->isUpdating());
    EXPECT_EQ(control<juce::Label>(s.main, "fileVersionValue")->getText(), "V3.00.00");
    EXPECT_EQ(0, std::memcmp(s.flash(), before.data(), before.size()));
    // The second press writes the image now shown.
    ASSERT_TRUE(control<ImageButtonWithText>(s.main, "updateButton")->isEnabled());
    s.pressUpdate();
    ASSERT_TRUE(s.finished());
    EXPECT_EQ(s.main->getStatus(), "Update OK!") << s.log();
    EXPECT_EQ(0, std::memcmp(s.flash(), otherImage.getData(), 0x40000));
    rows.push_back(juce::String("update.rom replaced by another good image").paddedRight(' ', 58) +
                   "\"The update file has changed. Press UPDATE again.\"");
    print();
}

TEST_F(FaultMatrix, TcpPeerVanishingMidTransferTimesOutAndTheNextScanRepairs)
{
    freshFolders();
    vp::TcpPianoServer server(vp::PianoConfig::parse("flash=S29GL128_S"), 0);
    ASSERT_TRUE(server.start());
    auto flash = [&] { return server.piano().withPiano([](vp::VirtualPiano& p) { return p.flashData(); }); };
    ProgramSession s(midi::createTcpSource("127.0.0.1", server.port()), programFolder, work);
    ASSERT_TRUE(s.ready()) << s.log();
    const std::vector<juce::uint8> before(flash(), flash() + 0x80000);
    auto seen = 0;
    s.main->getController().getQueue().setJobObserver(
        [&](size_t, const OperationRecord& r)
        {
            if (jobs::is<jobs::ProgramFromFile>(r) && ++seen == 1)
                server.dropConnection();
        });
    s.pressUpdate();
    ASSERT_TRUE(s.finished());
    FaultCase c{"TCP peer vanishing mid-transfer", {}, kTimeOut, kNoResponse, FlashAfter::any};
    judge(c, s, before, flash());
    // The program looks for the piano again by itself, tells of the interrupted
    // update, and UPDATE repairs it from the lock and the backup.
    s.main->getController().getQueue().setJobObserver(nullptr);
    ASSERT_TRUE(s.ready()) << s.log();
    EXPECT_EQ(s.main->getStatus(), "An earlier update was interrupted. Press UPDATE to finish it.");
    s.pressUpdate();
    ASSERT_TRUE(s.finished());
    EXPECT_EQ(s.main->getStatus(), "Update OK!") << s.log();
    EXPECT_TRUE(imageInPlace(flash(), before));
    print();
}
