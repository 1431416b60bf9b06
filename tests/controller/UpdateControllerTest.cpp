// The update controller without a window: a recording view, an in-process
// virtual piano, and the state machine from scanning to the end of an update.
#include "controller/UpdateController.h"
#include "TamarindVersion.h"
#include "TestSupport.h"
#include "update/ImageBuilder.h"
#include "virtual-piano/VirtualMidiSource.h"
#include <deque>
#include <gtest/gtest.h>
#if !JUCE_WINDOWS
#include <sys/stat.h>
#endif

using testing_support::pumpUntil;
using Phase = UpdateController::Phase;

namespace
{
struct RecordingView : UpdateView
{
    void showStatus(const juce::String& text) override { statuses.add(text); }
    void showConnection(ConnectionPicture p) override { picture = p; }
    void showProgressBar(bool visible) override { barVisible = visible; }
    void showProgress(double fraction) override { progress.push_back(fraction); }
    void showDeviceVersion(const juce::String& v) override { deviceVersion = v; }
    void showFileVersion(const juce::String& v) override { fileVersion = v; }
    void showDeviceName(const juce::String& n, NameState s) override
    {
        name = n;
        nameState = s;
    }
    void enableControls(bool enabled, bool updateAllowed) override
    {
        controls = enabled;
        update = enabled && updateAllowed;
    }
    void enableUpdate(bool enabled) override { update = enabled; }
    void enableConnect(bool enabled) override { connect = enabled; }
    bool confirm(const juce::String& title, const juce::String&) override
    {
        questions.add(title);
        if (answers.empty())
            return true;
        const bool a = answers.front();
        answers.pop_front();
        return a;
    }
    void warn(const juce::String& title, const juce::String&) override { warnings.add(title); }
    void playTone(Tone t) override { tones.push_back(t); }
    void updateRunning(bool r) override { running.push_back(r); }
    void updateSucceeded() override { ++succeeded; }
    void jobsEnded(bool ok) override { ended.push_back(ok); }

    juce::String status() const
    {
        return statuses.isEmpty() ? juce::String() : statuses[statuses.size() - 1];
    }

    juce::StringArray statuses, questions, warnings;
    ConnectionPicture picture = ConnectionPicture::scanning;
    bool barVisible = false, controls = false, update = false, connect = false;
    std::vector<double> progress;
    juce::String deviceVersion, fileVersion, name;
    NameState nameState = NameState::unknown;
    std::deque<bool> answers;
    std::vector<Tone> tones;
    std::vector<bool> running, ended;
    int succeeded = 0;
};

struct ControllerRig
{
    explicit ControllerRig(const juce::String& pianoConfig, const image::ImageSpec* rom = nullptr)
    {
        folder = testing_support::makeTempFolder("tamarind-controller");
        work = folder.getChildFile("work");
        work.createDirectory();
        if (rom != nullptr)
        {
            image = image::buildUpdateImage(*rom);
            folder.getChildFile("update.rom").replaceWithData(image.getData(), image.getSize());
        }
        auto source = std::make_unique<midi::VirtualSource>(vp::PianoConfig::parse(pianoConfig), 0, false);
        piano = source.get();
        ports.addSource(std::move(source));
        log.AttachEditor(&recorder);
        UpdateController::Settings settings;
        settings.ports = &ports;
        settings.periods.scanMs = 20;
        settings.periods.transferMs = 20;
        settings.periods.readMs = 5;
        settings.programFolder = folder.getFullPathName() + "/";
        settings.workingFolder = work.getFullPathName();
        controller = std::make_unique<UpdateController>(view, log, settings);
        controller->start();
    }
    ~ControllerRig()
    {
        controller.reset();
        log.AttachEditor(nullptr);
        folder.deleteRecursively();
    }
    bool waitPhase(Phase p, int ms = 20000)
    {
        return pumpUntil([&] { return controller->phase() == p; }, ms);
    }
    bool waitUpdateEnd()
    {
        return pumpUntil([&] { return !controller->isUpdating(); }, 60000);
    }
    juce::uint8* flash()
    {
        return piano->piano(0).withPiano([](vp::VirtualPiano& p) { return p.flashData(); });
    }

    juce::File folder, work;
    juce::MemoryBlock image;
    midi::PortSet ports;
    midi::VirtualSource* piano = nullptr;
    testing_support::Recorder recorder;
    CLogOutput log;
    RecordingView view;
    std::unique_ptr<UpdateController> controller;
};
} // namespace

TEST(UpdateController, ConnectsIdentifiesReadsTheVersionAndChecksTheImage)
{
    image::ImageSpec rom;
    rom.version = "V1.10.00";
    ControllerRig rig("flash=S29GL256_S", &rom);
    EXPECT_EQ(rig.controller->phase(), Phase::scanning);
    ASSERT_TRUE(rig.waitPhase(Phase::ready));
    EXPECT_EQ(rig.view.status(), "Piano connected.");
    EXPECT_EQ(rig.view.picture, ConnectionPicture::fullSpeed);
    EXPECT_EQ(rig.view.deviceVersion, "V1.00.00");
    EXPECT_EQ(rig.view.fileVersion, "V1.10.00");
    EXPECT_EQ(rig.view.name, "Tessaro");
    EXPECT_EQ(rig.view.nameState, UpdateView::NameState::known);
    EXPECT_TRUE(rig.view.update);
    EXPECT_TRUE(rig.controller->updateAllowed());
    EXPECT_EQ(rig.controller->flashModel(), "S29GL256_S");
    EXPECT_EQ(rig.controller->lastImageCheck(), 0);
}

TEST(UpdateController, ConnectionEndsAtTheFirstStepThatCannotGoOn)
{
    image::ImageSpec rom;
    {
        // No driver names the chip.
        ControllerRig rig("flash=S29GL064_S", &rom);
        ASSERT_TRUE(rig.waitPhase(Phase::unrecognised));
        EXPECT_EQ(rig.view.status(), "The flash of the piano was not recognised.");
        EXPECT_FALSE(rig.view.update);
    }
    {
        // Silent from the version read on (3 identify requests, 3 models x 3
        // messages): the time-out is shown, and the piano is looked for again.
        ControllerRig rig("silent_after=12", &rom);
        ASSERT_TRUE(pumpUntil([&] { return rig.view.status() == "Time out!"; }));
        EXPECT_EQ(rig.controller->phase(), Phase::scanning);
        EXPECT_FALSE(rig.controller->updateAllowed());
    }
    {
        // A refused image: connected, but UPDATE stays off and does nothing.
        image::ImageSpec other;
        other.productName = "Allegro";
        ControllerRig rig("", &other);
        ASSERT_TRUE(rig.waitPhase(Phase::ready));
        EXPECT_EQ(rig.view.status(), "The product name is not match to the device.");
        EXPECT_EQ(rig.view.nameState, UpdateView::NameState::mismatch);
        rig.controller->requestUpdate();
        EXPECT_TRUE(rig.view.questions.isEmpty());
        EXPECT_FALSE(rig.controller->isUpdating());
    }
}

TEST(UpdateController, SafeUpdateRunsToTheEndAndKeepsTheData)
{
    image::ImageSpec rom;
    rom.version = "V1.20.00";
    rom.fill = "random:7";
    ControllerRig rig("flash=S29GL128_S", &rom);
    ASSERT_TRUE(rig.waitPhase(Phase::ready));
    const std::vector<juce::uint8> data(rig.flash() + 0x40000, rig.flash() + 0x60000);

    // NO at the question: nothing starts.
    rig.view.answers = {false};
    rig.controller->requestUpdate();
    EXPECT_EQ(rig.view.questions, juce::StringArray{"Start update?"});
    EXPECT_FALSE(rig.controller->isUpdating());

    rig.controller->requestUpdate();
    EXPECT_TRUE(rig.controller->isUpdating());
    EXPECT_EQ(rig.view.status(), "Updating....");
    EXPECT_TRUE(rig.view.barVisible);
    ASSERT_TRUE(rig.waitUpdateEnd());
    EXPECT_EQ(rig.view.status(), "Update OK!") << rig.recorder.logUtf8();
    EXPECT_EQ(rig.view.succeeded, 1);
    EXPECT_EQ(rig.view.running, (std::vector<bool>{true, false}));
    EXPECT_FALSE(rig.view.barVisible);
    EXPECT_EQ(rig.controller->phase(), Phase::ready);
    EXPECT_EQ(0, std::memcmp(rig.flash(), rig.image.getData(), 0x40000));
    EXPECT_EQ(0, std::memcmp(rig.flash() + 0x40000, data.data(), data.size()));
    // The bar ends in the last job's share (the read of the data region).
    EXPECT_GE(rig.view.progress.back(), 0.93);
    EXPECT_FALSE(rig.work.getChildFile("orv_update.lock").exists());
}

// Another program updating from the same working folder holds its lock: this
// one sends nothing and changes nothing, and may update once the other is done.
TEST(UpdateController, AnUpdateFromTheSameWorkingFolderWaitsForTheOther)
{
    image::ImageSpec rom;
    rom.fill = "random:9";
    ControllerRig rig("flash=S29GL128_S", &rom);
    ASSERT_TRUE(rig.waitPhase(Phase::ready));
    const std::vector<juce::uint8> before(rig.flash(), rig.flash() + 0x80000);
    auto result = platform::FolderLock::Result::failed;
    juce::String problem;
    auto other =
        platform::FolderLock::take(rig.work.getFullPathName() + platform::kFolderLockName, result, problem);
    ASSERT_NE(other, nullptr) << problem;

    rig.controller->requestUpdate();
    EXPECT_FALSE(rig.controller->isUpdating());
    EXPECT_EQ(rig.view.status(), "Another update is running on this computer.");
    testing_support::pump(200);
    EXPECT_NE(rig.recorder.logUtf8().find("Another program is updating from the same working folder"),
              std::string::npos);
    EXPECT_EQ(0, std::memcmp(rig.flash(), before.data(), before.size()));
    EXPECT_FALSE(rig.work.getChildFile("orv_backup.tmp").exists());

    other.reset();
    rig.controller->requestUpdate();
    EXPECT_TRUE(rig.controller->isUpdating());
    // Held for the whole update, and let go at its end.
    EXPECT_EQ(
        platform::FolderLock::take(rig.work.getFullPathName() + platform::kFolderLockName, result, problem),
        nullptr);
    EXPECT_EQ(result, platform::FolderLock::Result::busy);
    ASSERT_TRUE(rig.waitUpdateEnd());
    EXPECT_EQ(rig.view.status(), "Update OK!");
    EXPECT_NE(
        platform::FolderLock::take(rig.work.getFullPathName() + platform::kFolderLockName, result, problem),
        nullptr);
}

TEST(UpdateController, ProductMismatchAsksTwice)
{
    image::ImageSpec rom;
    rom.productName = "Allegro";
    // The instrument has no product name, so the image's differs and is not refused.
    ControllerRig rig("product=", &rom);
    ASSERT_TRUE(rig.waitPhase(Phase::ready));
    EXPECT_EQ(rig.view.nameState, UpdateView::NameState::unknown);
    ASSERT_TRUE(rig.view.update) << rig.view.status();
    rig.view.answers = {true, false};
    rig.controller->requestUpdate();
    EXPECT_EQ(rig.view.questions, juce::StringArray({"Continue?", "Start update?"}));
    EXPECT_FALSE(rig.controller->isUpdating());
}

// A failed job of an update shows its reason; the update may then be pressed again.
TEST(UpdateController, FailuresDuringAnUpdateShowTheirReason)
{
    image::ImageSpec rom;
    ControllerRig rig("flash=S29GL128_S", &rom);
    ASSERT_TRUE(rig.waitPhase(Phase::ready));
    const std::pair<StepFailure, const char*> cases[] = {
        {StepFailure::none, "The update stopped: see the log."},
        {StepFailure::cantCreateFile, "Can't create file to save data."},
        {StepFailure::dataNotCorrect, "The data read from flash is not correct."},
        {StepFailure::cantCreateLock, "Can't create lock file!"},
        {StepFailure::cantDeleteLock, "Can't delete lock file!"},
        {StepFailure::timeOut, "Time out!"},
        {StepFailure::cantOpenFileToProgram, "Can't open file to program."},
        {StepFailure::flashOperationFailed, "The flash operation failed."}};
    for (const auto& [reason, text] : cases)
    {
        SCOPED_TRACE(text);
        rig.controller->requestUpdate();
        ASSERT_TRUE(rig.controller->isUpdating());
        const int serial = rig.controller->getLink().currentJobSerial();
        // The first job's end, a failure, arrives before anything else is handled.
        rig.controller->handleMessage(CCustomMessage(EvStepDone{serial, reason}));
        EXPECT_EQ(rig.view.status(), text);
        EXPECT_FALSE(rig.controller->isUpdating());
        EXPECT_FALSE(rig.view.barVisible);
        EXPECT_EQ(rig.view.running.back(), false);
        // The job's own end, when it comes, changes nothing.
        rig.controller->handleMessage(CCustomMessage(EvStepDone{serial, std::nullopt}));
        testing_support::pump(20);
        EXPECT_EQ(rig.view.status(), text);
        if (reason == StepFailure::timeOut)
        {
            // A time-out: the piano is looked for again, and found.
            EXPECT_NE(rig.controller->phase(), Phase::ready);
            ASSERT_TRUE(rig.waitPhase(Phase::ready));
        }
        EXPECT_TRUE(rig.controller->updateAllowed()); // pressed again, it repairs
    }
    EXPECT_EQ(rig.view.succeeded, 0);
}

TEST(UpdateController, RepairAndRefusalFollowTheLockAndTheBackup)
{
    image::ImageSpec rom;
    rom.fill = "random:9";
    ControllerRig rig("flash=S29GL128_S", &rom);
    ASSERT_TRUE(rig.waitPhase(Phase::ready));
    const std::vector<juce::uint8> before(rig.flash(), rig.flash() + 0x80000);
    const auto lock = rig.work.getChildFile("orv_update.lock");
    lock.replaceWithText("ORV backup lock!");
    rig.controller->requestUpdate();
    EXPECT_EQ(rig.view.status(), "Found an error can't be fixed in the last update.");
    EXPECT_FALSE(rig.controller->isUpdating());
    EXPECT_EQ(0, std::memcmp(rig.flash(), before.data(), before.size()));

    // A backup that does not fit this piano's data region (still intact, and
    // not the backup's) is not written.
    std::vector<juce::uint8> saved(0x20000, 0x3C);
    rig.work.getChildFile("orv_backup.tmp").replaceWithData(saved.data(), saved.size());
    rig.controller->requestUpdate();
    ASSERT_TRUE(rig.waitUpdateEnd());
    EXPECT_EQ(rig.view.status(), "The saved backup belongs to another piano. Nothing was changed.");
    EXPECT_EQ(0, std::memcmp(rig.flash(), before.data(), before.size()));
    EXPECT_TRUE(lock.existsAsFile());

    // With the data region as the interrupted update left it (erased), the
    // same press repairs from the backup.
    std::memset(rig.flash() + 0x40000, 0xFF, 0x20000);
    rig.controller->requestUpdate();
    ASSERT_TRUE(rig.waitUpdateEnd());
    EXPECT_EQ(rig.view.status(), "Update OK!");
    EXPECT_EQ(0, std::memcmp(rig.flash() + 0x40000, saved.data(), saved.size()));
    EXPECT_EQ(0, std::memcmp(rig.flash(), rig.image.getData(), 0x40000));
    EXPECT_FALSE(lock.exists());
}

TEST(UpdateController, JobListsOfTheCallerRunWhenConnected)
{
    image::ImageSpec rom;
    ControllerRig rig("flash=S29GL128_S", &rom);
    // Not before the instrument is connected and checked.
    EXPECT_FALSE(rig.controller->runJobs({jobs::ReadToFile{"/x", 0, 0, 0x1000, 0, 100}}));
    ASSERT_TRUE(rig.waitPhase(Phase::ready));
    const auto out = rig.work.getChildFile("read.bin");
    ASSERT_TRUE(
        rig.controller->runJobs({jobs::ReadToFile{out.getFullPathName(), 0, 0x40000, 0x3000, 0, 100}}));
    EXPECT_EQ(rig.controller->phase(), Phase::running);
    ASSERT_TRUE(pumpUntil([&] { return !rig.view.ended.empty(); }));
    EXPECT_TRUE(rig.view.ended[0]);
    juce::MemoryBlock data;
    out.loadFileAsData(data);
    ASSERT_EQ(data.getSize(), 0x3000u);
    EXPECT_EQ(0, std::memcmp(data.getData(), rig.flash() + 0x40000, 0x3000));

    // A compare that fails ends the list with its reason.
    auto changed = data;
    static_cast<juce::uint8*>(changed.getData())[7] ^= 1;
    const auto other = rig.work.getChildFile("other.bin");
    other.replaceWithData(changed.getData(), changed.getSize());
    ASSERT_TRUE(
        rig.controller->runJobs({jobs::ReadToFile{out.getFullPathName(), 0, 0x40000, 0x3000, 0, 100},
                                 jobs::CompareFiles{other.getFullPathName(), 0, out.getFullPathName()}}));
    ASSERT_TRUE(pumpUntil([&] { return rig.view.ended.size() == 2; }));
    EXPECT_FALSE(rig.view.ended[1]);
    EXPECT_EQ(rig.view.status(), "The data read from flash is not correct.");
    EXPECT_EQ(rig.controller->phase(), Phase::ready);
}

#if !JUCE_WINDOWS
// A working folder, or a working file in it, that other users can write:
// another user could have swapped the backup. UPDATE refuses before anything
// is read or written, and goes once the folder is the user's alone again.
TEST(UpdateController, AWorkingFolderOthersCanWriteIsRefused)
{
    image::ImageSpec rom;
    rom.fill = "random:10";
    ControllerRig rig("flash=S29GL128_S", &rom);
    ASSERT_TRUE(rig.waitPhase(Phase::ready));
    const std::vector<juce::uint8> before(rig.flash(), rig.flash() + 0x80000);
    const auto folder = rig.work.getFullPathName();
    const auto backup = rig.work.getChildFile("orv_backup.tmp");
    for (int variant = 0; variant < 2; ++variant)
    {
        if (variant == 0)
            ASSERT_EQ(::chmod(folder.toRawUTF8(), 0777), 0);
        else
        {
            ASSERT_TRUE(backup.replaceWithText("someone else's"));
            ASSERT_EQ(::chmod(backup.getFullPathName().toRawUTF8(), 0666), 0);
        }
        rig.controller->requestUpdate();
        EXPECT_FALSE(rig.controller->isUpdating());
        EXPECT_EQ(rig.view.status(), "The working folder is not yours alone. Nothing was changed.");
        testing_support::pump(100);
        const auto why = variant == 0
                             ? "Refused " + folder + ": other users can write to it"
                             : "Refused " + backup.getFullPathName() + ": other users can write to it";
        EXPECT_NE(rig.recorder.logUtf8().find(why.toStdString()), std::string::npos)
            << rig.recorder.logUtf8();
        EXPECT_EQ(0, std::memcmp(rig.flash(), before.data(), before.size()));
        ASSERT_EQ(::chmod(folder.toRawUTF8(), 0700), 0);
    }
    backup.deleteFile();
    rig.controller->requestUpdate();
    ASSERT_TRUE(rig.waitUpdateEnd());
    EXPECT_EQ(rig.view.status(), "Update OK!");
}
#endif

// ---- the update history ---------------------------------------------------------------

namespace
{
std::vector<history::Record> historyOf(const ControllerRig& rig)
{
    const auto reading = history::read(rig.work);
    EXPECT_EQ(reading.problem, "");
    EXPECT_EQ(reading.badLines, 0);
    return reading.records;
}

// What an update of the rig's piano with its image records, whatever its end.
void expectRecordOfThisPiano(const history::Record& r, ControllerRig& rig)
{
    EXPECT_EQ(r.program, TAMARIND_VERSION);
    EXPECT_EQ(r.input, rig.controller->getLink().pairedInputName());
    EXPECT_EQ(r.output, rig.controller->getLink().pairedOutputName());
    EXPECT_TRUE(r.input.isNotEmpty());
    EXPECT_EQ(r.flash, "S29GL128_S");
    EXPECT_EQ(r.versionBefore, "V1.00.00");
    EXPECT_EQ(r.image, rig.folder.getChildFile("update.rom").getFullPathName());
    EXPECT_EQ(r.imageMd5, juce::MD5(rig.image).toHexString());
    EXPECT_TRUE(r.start <= r.end);
    EXPECT_GE(r.seconds, 0.0);
}
} // namespace

// An update that ran to its end, on either path, adds one record; one that
// never started (NO at the question) adds none.
TEST(UpdateController, AFinishedUpdateIsAddedToTheHistory)
{
    struct Case
    {
        int size;
        const char* path;
    };
    for (const auto& c : {Case{0x40000, "safe"}, Case{0x80000, "plain"}})
    {
        SCOPED_TRACE(c.path);
        image::ImageSpec rom;
        rom.version = "V1.20.00";
        rom.size = c.size;
        ControllerRig rig("flash=S29GL128_S", &rom);
        ASSERT_TRUE(rig.waitPhase(Phase::ready));
        rig.view.answers = {false};
        rig.controller->requestUpdate();
        EXPECT_TRUE(historyOf(rig).empty());

        rig.controller->requestUpdate();
        ASSERT_TRUE(rig.waitUpdateEnd());
        ASSERT_EQ(rig.view.status(), "Update OK!");
        const auto records = historyOf(rig);
        ASSERT_EQ(records.size(), 1u);
        expectRecordOfThisPiano(records[0], rig);
        EXPECT_EQ(records[0].path, c.path);
        EXPECT_TRUE(records[0].ok);
        EXPECT_EQ(records[0].result, "Update OK!");
        EXPECT_EQ(records[0].versionAfter, "V1.20.00");
    }
}

// A failed update adds one record with the status line it ended with. The
// piano's version afterwards is kept only when the failure came before
// anything was erased.
TEST(UpdateController, AFailedUpdateIsAddedToTheHistory)
{
    image::ImageSpec rom;
    rom.version = "V1.20.00";
    ControllerRig rig("flash=S29GL128_S", &rom);
    ASSERT_TRUE(rig.waitPhase(Phase::ready));
    struct Case
    {
        StepFailure reason;
        const char* result;
        const char* versionAfter;
    };
    const Case cases[] = {
        {StepFailure::flashOperationFailed, "The flash operation failed.", ""},
        {StepFailure::none, "The update stopped: see the log.", ""},
        {StepFailure::backupNotTrusted, stepFailureText(StepFailure::backupNotTrusted), "V1.00.00"},
    };
    size_t count = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.result);
        rig.controller->requestUpdate();
        ASSERT_TRUE(rig.controller->isUpdating());
        const int serial = rig.controller->getLink().currentJobSerial();
        rig.controller->handleMessage(CCustomMessage(EvStepDone{serial, c.reason}));
        ASSERT_FALSE(rig.controller->isUpdating());
        const auto records = historyOf(rig);
        ASSERT_EQ(records.size(), ++count);
        const auto& r = records.back();
        expectRecordOfThisPiano(r, rig);
        EXPECT_EQ(r.path, "safe");
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.result, rig.view.status());
        EXPECT_EQ(r.versionAfter, c.versionAfter);
        // The job's own end changes nothing, in the history neither.
        rig.controller->handleMessage(CCustomMessage(EvStepDone{serial, std::nullopt}));
        testing_support::pump(20);
        EXPECT_EQ(historyOf(rig).size(), count);
    }
}

// A repair refused before anything is sent adds nothing; one that the
// piano's data region refuses, and one that runs to its end, add one each.
TEST(UpdateController, ARepairIsAddedToTheHistory)
{
    image::ImageSpec rom;
    rom.version = "V1.20.00";
    rom.fill = "random:9";
    ControllerRig rig("flash=S29GL128_S", &rom);
    ASSERT_TRUE(rig.waitPhase(Phase::ready));
    rig.work.getChildFile("orv_update.lock").replaceWithText("ORV backup lock!");
    rig.controller->requestUpdate();
    EXPECT_EQ(rig.view.status(), "Found an error can't be fixed in the last update.");
    EXPECT_TRUE(historyOf(rig).empty());

    std::vector<juce::uint8> saved(0x20000, 0x3C);
    rig.work.getChildFile("orv_backup.tmp").replaceWithData(saved.data(), saved.size());
    rig.controller->requestUpdate();
    ASSERT_TRUE(rig.waitUpdateEnd());
    std::memset(rig.flash() + 0x40000, 0xFF, 0x20000);
    rig.controller->requestUpdate();
    ASSERT_TRUE(rig.waitUpdateEnd());
    ASSERT_EQ(rig.view.status(), "Update OK!");

    const auto records = historyOf(rig);
    ASSERT_EQ(records.size(), 2u);
    for (const auto& r : records)
    {
        expectRecordOfThisPiano(r, rig);
        EXPECT_EQ(r.path, "repair");
    }
    EXPECT_FALSE(records[0].ok);
    EXPECT_EQ(records[0].result, "The saved backup belongs to another piano. Nothing was changed.");
    EXPECT_EQ(records[0].versionAfter, "V1.00.00");
    EXPECT_TRUE(records[1].ok);
    EXPECT_EQ(records[1].result, "Update OK!");
    EXPECT_EQ(records[1].versionAfter, "V1.20.00");
    EXPECT_LE(records[0].end.toMilliseconds(), records[1].start.toMilliseconds());
}

// A history that cannot be written is said once in the log; the update is
// not affected.
TEST(UpdateController, AnUpdateEndsWellWhenItsHistoryCannotBeWritten)
{
    image::ImageSpec rom;
    ControllerRig rig("flash=S29GL128_S", &rom);
    ASSERT_TRUE(rig.waitPhase(Phase::ready));
    const auto inTheWay = rig.work.getChildFile(history::kFileName);
    ASSERT_TRUE(inTheWay.createDirectory());
    rig.controller->requestUpdate();
    ASSERT_TRUE(rig.waitUpdateEnd());
    EXPECT_EQ(rig.view.status(), "Update OK!");
    EXPECT_EQ(rig.view.succeeded, 1);
    ASSERT_TRUE(
        pumpUntil([&] { return rig.recorder.logUtf8().find("The update history") != std::string::npos; }));
    const auto log = rig.recorder.logUtf8();
    const auto line =
        "The update history was not written: Refused " + inTheWay.getFullPathName() + ": a folder\n";
    EXPECT_NE(log.find(line.toStdString()), std::string::npos) << log;
    EXPECT_EQ(log.find("The update history"), log.rfind("The update history"));
}
