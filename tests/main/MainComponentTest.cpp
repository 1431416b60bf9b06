#include "ControlAccess.h"
#include "TestSupport.h"
#include "main/MainComponentParts.h"
#include "platform/Tones.h"
#include "reliability/ProgramSession.h"
#include "ui/UpdateDialogs.h"
#include "update/ImageBuilder.h"
#include "virtual-piano/VirtualMidiSource.h"
#include "virtual-piano/VirtualPiano.h"
#include <csignal>
#include <gtest/gtest.h>

using testing_support::control;

using testing_support::pump;
using testing_support::pumpUntil;

namespace
{
// An event of the device link, delivered to the main component's controller.
void post(MainComponent& mc, Event event)
{
    mc.getController().handleMessage(CCustomMessage(std::move(event)));
}

// The instrument's version block as the device link delivers it.
void postVersionRead(MainComponent& mc, const std::u16string& version, const std::u16string& name)
{
    std::vector<char16_t> block(137);
    std::copy(version.begin(), version.end(), block.begin());
    std::copy(name.begin(), name.end(), block.begin() + 9);
    post(mc, EvVersionRead{block});
}

// A main component against an in-process virtual piano, with its program
// folder and working folder in a temporary place.
struct Rig
{
    explicit Rig(const juce::String& pianoConfig, const image::ImageSpec* rom = nullptr,
                 const juce::String& folderPrefix = "tamarind-main")
    {
        folder = testing_support::makeTempFolder(folderPrefix);
        work = folder.getChildFile("work");
        work.createDirectory();
        if (rom != nullptr)
        {
            const auto data = image::buildUpdateImage(*rom);
            folder.getChildFile("update.rom").replaceWithData(data.getData(), data.getSize());
        }
        auto source = std::make_unique<midi::VirtualSource>(vp::PianoConfig::parse(pianoConfig), 0, false);
        piano = source.get();
        ports.addSource(std::move(source));
        auto options = reliability::testOptions(ports, folder, work);
        options.services = &services;
        main = std::make_unique<MainComponent>(options);
    }
    ~Rig()
    {
        main.reset();
        folder.deleteRecursively();
    }
    juce::uint8* flash()
    {
        return piano->piano(0).withPiano([](vp::VirtualPiano& p) { return p.flashData(); });
    }
    bool waitStatus(const juce::String& text, int ms = 20000)
    {
        return pumpUntil([&] { return main->getStatus() == text; }, ms);
    }

    juce::File folder, work;
    testing_support::RecordingServices services;
    midi::PortSet ports;
    midi::VirtualSource* piano = nullptr;
    std::unique_ptr<MainComponent> main;
};
} // namespace

TEST(MainComponentLayout, StartScreenShowsOnlyTheUpdateControls)
{
    Rig rig("");
    auto& mc = *rig.main;
    EXPECT_EQ(mc.getWidth(), 572);
    EXPECT_EQ(mc.getHeight(), 284);
    EXPECT_EQ(mc.getStatus(), "Piano Connecting ...");
    EXPECT_TRUE(control<ImageButtonWithText>(mc, "updateButton")->isVisible());
    EXPECT_FALSE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());
    EXPECT_TRUE(control<ImageButtonWithText>(mc, "helpButton")->isEnabled());
    EXPECT_FALSE(control<juce::ProgressBar>(mc, "progressBar")->isVisible());
    EXPECT_FALSE(control<CLogEditor>(mc, "logEditor")->isVisible());
    EXPECT_FALSE(control<juce::DrawableButton>(mc, "connectStatusButton")->isVisible());
    EXPECT_EQ(control<ImageButtonWithText>(mc, "updateButton")->getBounds(),
              juce::Rectangle<int>(148, 156, 100, 44));
    EXPECT_EQ(control<ImageButtonWithText>(mc, "helpButton")->getBounds(),
              juce::Rectangle<int>(324, 156, 100, 44));
    EXPECT_EQ(control<juce::ProgressBar>(mc, "progressBar")->getBounds(),
              juce::Rectangle<int>(68, 240, 440, 32));
    EXPECT_EQ(control<juce::Label>(mc, "checksumLabel")->getBounds(), juce::Rectangle<int>(24, 524, 540, 24));
    // Visible children lie inside the window, except the two file boxes.
    for (auto* c : mc.getChildren())
    {
        if (c->isVisible() && c != control<fileBrowser>(mc, "writeFileBox") &&
            c != control<fileBrowser>(mc, "readFileBox"))
        {
            EXPECT_TRUE(mc.getLocalBounds().contains(c->getBounds())) << c->getName();
        }
    }
    EXPECT_FALSE(mc.getLocalBounds().intersects(control<fileBrowser>(mc, "writeFileBox")->getBounds()));
    // The word toggle is on while the link starts with byte addressing.
    EXPECT_TRUE(control<juce::ToggleButton>(mc, "wordToggle")->getToggleState());
    EXPECT_FALSE(mc.getController().getLink().getWordAddressing());
    // Numeric editors take hexadecimal digits only.
    control<juce::TextEditor>(mc, "fileOffsetEditor")->setText({});
    control<juce::TextEditor>(mc, "fileOffsetEditor")->insertTextAtCaret("1aFG 3");
    EXPECT_EQ(control<juce::TextEditor>(mc, "fileOffsetEditor")->getText(), "1aF3");
}

TEST(MainComponentLayout, OnlyTheVisibleButtonsTakeTheKeyboardFocus)
{
    Rig rig("silent_after=0");
    auto& mc = *rig.main;
    control<ImageButtonWithText>(mc, "updateButton")->setEnabled(true);
    // What Tab walks through: UPDATE and HELP, nothing hidden.
    const auto reachable = juce::KeyboardFocusTraverser().getAllComponents(&mc);
    EXPECT_EQ(reachable, (std::vector<juce::Component*>{control<ImageButtonWithText>(mc, "updateButton"),
                                                        control<ImageButtonWithText>(mc, "helpButton")}));
    EXPECT_FALSE(control<fileBrowser>(mc, "writeFileBox")->isVisible());
    EXPECT_FALSE(control<fileBrowser>(mc, "readFileBox")->isVisible());
    // Nor does anything hidden take the focus when asked, or hold a part that would.
    std::function<void(juce::Component&)> neverFocused = [&](juce::Component& c)
    {
        EXPECT_FALSE(c.getWantsKeyboardFocus()) << c.getName();
        c.grabKeyboardFocus();
        EXPECT_FALSE(c.hasKeyboardFocus(true)) << c.getName();
        for (auto* child : c.getChildren())
            neverFocused(*child);
    };
    for (auto* c : mc.getChildren())
        if (!c->isVisible() && c != control<juce::ProgressBar>(mc, "progressBar"))
            neverFocused(*c);
}

TEST(MainComponentLook, ProgressBarTextAndRange)
{
    Rig rig("");
    auto& mc = *rig.main;
    juce::Image img(juce::Image::ARGB, 440, 32, true);
    auto draw = [&](double p, const juce::String& text)
    {
        juce::Graphics g(img);
        mc.drawProgressBar(g, *control<juce::ProgressBar>(mc, "progressBar"), 440, 32, p, text);
        return img.getPixelAt(430, 2);
    };
    control<juce::ProgressBar>(mc, "progressBar")
        ->setColour(juce::ProgressBar::foregroundColourId, juce::Colour(0xffc0c0c0));
    EXPECT_EQ(draw(1.0, {}), juce::Colour(0xffc0c0c0));
    EXPECT_EQ(draw(1.5, {}), juce::Colour(0xff05063d)); // out of range: background only
    EXPECT_EQ(mc.getComboBoxFont(*control<juce::ComboBox>(mc, "mcuCombo")).getHeight(), 16.0f);
    EXPECT_EQ(mc.getPopupMenuFont().getHeight(), 16.0f);
}

TEST(MainComponentEvents, ProgressSharesAndConnectionEvents)
{
    Rig rig("silent_after=0");
    auto& mc = *rig.main;
    post(mc, EvProgress{ProgressKind::share, 300, 700});
    post(mc, EvProgress{ProgressKind::erase, 50, 200});
    EXPECT_DOUBLE_EQ(mc.getProgressValue(), 0.4);
    post(mc, EvProgress{ProgressKind::ended, 0, 0});
    EXPECT_DOUBLE_EQ(mc.getProgressValue(), 0.4);

    post(mc, EvNoDevice{});
    EXPECT_EQ(mc.getStatus(), "Device is not connected!");
    EXPECT_TRUE(control<juce::DrawableButton>(mc, "connectStatusButton")->isEnabled());
    mc.getController().setControlsEnabled(false, Tone::success);
    EXPECT_FALSE(control<juce::DrawableButton>(mc, "connectStatusButton")->isEnabled());
    mc.getController().setControlsEnabled(true, Tone::failure);
    EXPECT_TRUE(control<juce::DrawableButton>(mc, "connectStatusButton")->isEnabled());
    post(mc, EvConnectButton{false});
    EXPECT_FALSE(control<juce::ToggleButton>(mc, "userModeToggle")->isEnabled());
}

TEST(MainComponentEvents, VersionResultPaths)
{
    image::ImageSpec rom;
    Rig rig("silent_after=0", &rom);
    auto& mc = *rig.main;
    auto versionRead = [&](const std::u16string& version, const std::u16string& name)
    { postVersionRead(mc, version, name); };
    versionRead(u"error", u"");
    EXPECT_EQ(mc.getStatus(), "Someting error when getting version from device.");
    EXPECT_FALSE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());

    // Seven characters: no version shown, but the name and the file check still run.
    versionRead(u"V1.00.0", u"Tessaro");
    EXPECT_FALSE(control<juce::Label>(mc, "devVersionValue")->isVisible());
    EXPECT_FALSE(control<juce::Label>(mc, "devVersionLabel")->isVisible());
    EXPECT_EQ(control<juce::Label>(mc, "devNameValue")->getText(), "Tessaro");
    EXPECT_EQ(mc.getStatus(), "Piano connected.");
    // No flash was identified here: UPDATE stays off until one is.
    EXPECT_FALSE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());

    versionRead(u"V1.00.00", u"");
    EXPECT_EQ(control<juce::Label>(mc, "devNameValue")->getText(), "Can't get product name from device!");
    EXPECT_EQ(control<juce::Label>(mc, "devNameValue")->findColour(juce::Label::textColourId),
              juce::Colour(0xffff0000));
    pump(5);
    EXPECT_TRUE(mc.getLogText().contains("No version info in device.\n"));
}

TEST(MainComponentEvents, TonesFollowTheBeepToggle)
{
    Rig rig("silent_after=0");
    auto& mc = *rig.main;
    auto& controller = mc.getController();
    controller.setControlsEnabled(true, Tone::success);
    EXPECT_TRUE(rig.services.tones().empty());
    control<juce::ToggleButton>(mc, "beepToggle")->setToggleState(true, juce::sendNotificationSync);
    controller.setControlsEnabled(true, Tone::success);
    controller.setControlsEnabled(true, Tone::failure);
    controller.setControlsEnabled(false, Tone::success);
    post(mc, EvNoDevice{});
    const auto tones = rig.services.tones();
    const std::vector<std::pair<int, int>> expected{{2000, 200}, {1000, 150}, {0, 100},   {1000, 150},
                                                    {1000, 150}, {0, 100},    {1000, 150}};
    EXPECT_EQ(tones, expected);
}

TEST(MainComponentEvents, FlashTicksAndCaptions)
{
    Rig rig("silent_after=0");
    auto& mc = *rig.main;
    auto tick = [&](const char* name, int state) {
        mc.handleMessage(CCustomMessage(EvFlashTicked{name, state == 1}));
    };
    tick("S29GL512_S", 1);
    tick("S29GL128_S", 1);
    tick("S29GL512_S", 1);
    EXPECT_EQ(control<juce::TextButton>(mc, "selectFlashButton")->getButtonText(), "S29GL512_S,S29GL128_S");
    tick("S29GL128_S", 0);
    EXPECT_EQ(control<juce::TextButton>(mc, "selectFlashButton")->getButtonText(), "S29GL512_S");
    tick("S29GL512_S", 0);
    EXPECT_EQ(control<juce::TextButton>(mc, "selectFlashButton")->getButtonText(), "Select flash...");

    control<juce::ToggleButton>(mc, "autoCheckToggle")->setToggleState(true, juce::sendNotificationSync);
    EXPECT_EQ(control<ImageButtonWithText>(mc, "updateButton")->getButtonText(), "Write&Verify");
    EXPECT_EQ(control<juce::TextButton>(mc, "readButton")->getButtonText(), "Read&Verify");
    control<juce::ToggleButton>(mc, "autoCheckToggle")->setToggleState(false, juce::sendNotificationSync);
    EXPECT_EQ(control<ImageButtonWithText>(mc, "updateButton")->getButtonText(), "UPDATE");
}

TEST(MainComponentFlow, ConnectsIdentifiesAndChecksTheImage)
{
    image::ImageSpec rom;
    rom.version = "V1.10.00";
    Rig rig("flash=S29GL256_S", &rom);
    auto& mc = *rig.main;
    ASSERT_TRUE(rig.waitStatus("Piano connected."));
    EXPECT_TRUE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());
    EXPECT_EQ(control<juce::Label>(mc, "devVersionValue")->getText(), "V1.00.00");
    EXPECT_EQ(control<juce::Label>(mc, "fileVersionValue")->getText(), "V1.10.00");
    EXPECT_EQ(control<juce::Label>(mc, "devNameValue")->getText(), "Tessaro");
    EXPECT_EQ(mc.getController().fileProduct(), "Tessaro");
    EXPECT_TRUE(mc.getController().isConnected());
    // The status is set at once; log lines arrive as posted messages.
    EXPECT_TRUE(pumpUntil([&] { return mc.getLogText().endsWith("Ready to program"); }));
    const auto log = mc.getLogText();
    EXPECT_TRUE(log.contains("Test!\n")) << log;
    EXPECT_TRUE(log.contains("Paired with input Virtual Piano and output Virtual Piano.\n"
                             "Device Connected! Test MCU/Flash type.\n"))
        << log;
    EXPECT_TRUE(log.contains("Select MCU: ORV828, flash: S29GL256_S\n"));
    EXPECT_TRUE(log.contains("Device Version:V1.00.00\n"));
    EXPECT_TRUE(log.endsWith("File version:V1.10.00\nReady to program")) << log;
}

// Replies and step-dones nobody asked for, while connected and idle: no
// status line changes, nothing is written, no dialog, no tone.
TEST(MainComponentFlow, StraysWhileConnectedChangeNothing)
{
    image::ImageSpec rom;
    Rig rig("", &rom);
    auto& mc = *rig.main;
    ASSERT_TRUE(rig.waitStatus("Piano connected."));
    std::vector<juce::uint8> before(rig.flash(), rig.flash() + 0x80000);

    // Step-dones of a job long ended, of none, and again of the last one.
    const int last = mc.getController().getLink().currentJobSerial();
    for (int serial : {last, last + 1, 0, -1})
    {
        post(mc, EvStepDone{serial, std::nullopt});
        post(mc, EvStepDone{serial, StepFailure::timeOut});
    }
    EXPECT_EQ(mc.getStatus(), "Piano connected.");

    // The instrument sends a status every 2 ms for a while.
    rig.piano->piano(0).setStrayStatusEvery(2);
    pump(400);
    rig.piano->piano(0).setStrayStatusEvery(-1);
    pump(20);
    EXPECT_EQ(mc.getStatus(), "Piano connected.");
    EXPECT_TRUE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());
    EXPECT_FALSE(mc.isUpdating());
    EXPECT_FALSE(control<juce::ProgressBar>(mc, "progressBar")->isVisible());
    EXPECT_TRUE(rig.services.tones().empty());
    EXPECT_GT(mc.getController().getLink().unexpectedReplyCount(), 20);
    const auto log = mc.getLogText();
    EXPECT_EQ(log.indexOf("Ignored an unexpected reply from the device.\n"),
              log.lastIndexOf("Ignored an unexpected reply from the device.\n"));
    EXPECT_FALSE(log.contains("Update OK!"));
    EXPECT_EQ(0, std::memcmp(before.data(), rig.flash(), before.size()));
    EXPECT_FALSE(rig.work.getChildFile("orv_update.lock").exists());
}

TEST(MainComponentFlow, ProductMismatchAndMissingImage)
{
    image::ImageSpec rom;
    rom.productName = "Allegro";
    Rig rig("", &rom);
    ASSERT_TRUE(rig.waitStatus("The product name is not match to the device."));
    EXPECT_FALSE(control<ImageButtonWithText>(rig.main, "updateButton")->isEnabled());
    EXPECT_EQ(control<juce::Label>(rig.main, "devNameValue")->findColour(juce::Label::textColourId),
              juce::Colour(0xffff0000));

    Rig none("");
    ASSERT_TRUE(none.waitStatus("The update file can't be opened!"));
}

TEST(MainComponentFlow, SafeUpdateKeepsTheDataRegionAndEndsWell)
{
    image::ImageSpec rom;
    rom.version = "V1.20.00";
    rom.fill = "random:5";
    Rig rig("flash=S29GL512_S", &rom);
    auto& mc = *rig.main;
    ASSERT_TRUE(rig.waitStatus("Piano connected."));
    std::vector<juce::uint8> region(rig.flash() + 0x40000, rig.flash() + 0x60000);
    mc.buttonClicked(control<ImageButtonWithText>(mc, "updateButton"));
    EXPECT_TRUE(mc.isUpdating());
    EXPECT_TRUE(control<juce::ProgressBar>(mc, "progressBar")->isVisible());
    EXPECT_FALSE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());
    ASSERT_TRUE(rig.waitStatus("Update OK!", 60000)) << mc.getLogText();
    EXPECT_FALSE(mc.isUpdating());
    const auto image = image::buildUpdateImage(rom);
    EXPECT_EQ(0, std::memcmp(rig.flash(), image.getData(), 0x40000));
    EXPECT_EQ(0, std::memcmp(rig.flash() + 0x40000, region.data(), region.size()));
    EXPECT_FALSE(rig.work.getChildFile("orv_update.lock").exists());
    EXPECT_EQ(rig.work.getChildFile("orv_backup.tmp").getSize(), 0x20000);
    const auto log = mc.getLogText();
    EXPECT_TRUE(log.contains("Sending flash driver for \"Sepcial\"...")) << log;
    EXPECT_TRUE(log.contains("Testing flash \"Save_IO_Sta\"...OK.\n"));
    // Both read-back compares passed.
    int passedCompares = 0;
    for (int at = log.indexOf("\nOK!\n"); at >= 0; at = log.indexOf(at + 1, "\nOK!\n"))
        ++passedCompares;
    EXPECT_EQ(passedCompares, 2) << log;
}

TEST(MainComponentFlow, LockWithoutBackupIsRefusedAndNothingIsWritten)
{
    image::ImageSpec rom;
    Rig rig("", &rom);
    auto& mc = *rig.main;
    ASSERT_TRUE(rig.waitStatus("Piano connected."));
    rig.work.getChildFile("orv_update.lock").replaceWithText("ORV backup lock!");
    std::vector<juce::uint8> before(rig.flash(), rig.flash() + 0x60000);
    mc.buttonClicked(control<ImageButtonWithText>(mc, "updateButton"));
    EXPECT_EQ(mc.getStatus(), "Found an error can't be fixed in the last update.");
    EXPECT_FALSE(mc.isUpdating());
    pump(200);
    EXPECT_EQ(0, std::memcmp(rig.flash(), before.data(), before.size()));

    // A backup shorter than the data region counts as missing.
    rig.work.getChildFile("orv_backup.tmp").replaceWithData(before.data(), 0x1F000);
    mc.buttonClicked(control<ImageButtonWithText>(mc, "updateButton"));
    EXPECT_EQ(mc.getStatus(), "Found an error can't be fixed in the last update.");
    pump(200);
    EXPECT_EQ(0, std::memcmp(rig.flash(), before.data(), before.size()));
}

TEST(MainComponentFlow, RepairWritesTheSavedDataBack)
{
    image::ImageSpec rom;
    rom.version = "V2.00.00";
    Rig rig("", &rom);
    auto& mc = *rig.main;
    ASSERT_TRUE(rig.waitStatus("Piano connected."));
    // An earlier update was cut off after the lock: the backup holds the data
    // and the flash region was erased.
    std::vector<juce::uint8> saved(0x20000);
    vp::VirtualPiano::fillDataRegion(saved.data(), saved.size());
    saved[5] = 'x';
    rig.work.getChildFile("orv_backup.tmp").replaceWithData(saved.data(), saved.size());
    rig.work.getChildFile("orv_update.lock").replaceWithText("ORV backup lock!");
    std::memset(rig.flash() + 0x40000, 0xFF, 0x20000);
    // Connected again (as after a crash of the computer), the program tells of it.
    mc.buttonClicked(control<juce::DrawableButton>(mc, "connectStatusButton"));
    ASSERT_TRUE(rig.waitStatus("An earlier update was interrupted. Press UPDATE to finish it."));
    EXPECT_TRUE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());
    mc.buttonClicked(control<ImageButtonWithText>(mc, "updateButton"));
    const auto& first = mc.getController().getQueue().queued();
    ASSERT_GE(first.size(), 6u);
    // No backup read and no lock creation: the data region is read and
    // checked against the backup, then erased.
    EXPECT_TRUE(jobs::is<jobs::ReadToFile>(first[1]));
    EXPECT_TRUE(jobs::is<jobs::CheckBackup>(first[3]));
    EXPECT_TRUE(jobs::is<jobs::SendDriver>(first[4]));
    EXPECT_TRUE(jobs::is<jobs::EraseForBuffer>(first[5]));
    ASSERT_TRUE(rig.waitStatus("Update OK!", 60000)) << mc.getLogText();
    EXPECT_EQ(0, std::memcmp(rig.flash() + 0x40000, saved.data(), saved.size()));
    EXPECT_FALSE(rig.work.getChildFile("orv_update.lock").exists());
}

TEST(MainComponentFlow, PlainPathForALargerImage)
{
    image::ImageSpec rom;
    rom.size = 0x80000;
    rom.fill = "random:9";
    Rig rig("", &rom);
    auto& mc = *rig.main;
    ASSERT_TRUE(rig.waitStatus("Piano connected."));
    rig.work.getChildFile("orv_update.lock").replaceWithText("stale");
    mc.buttonClicked(control<ImageButtonWithText>(mc, "updateButton"));
    EXPECT_FALSE(rig.work.getChildFile("orv_update.lock").exists());
    ASSERT_TRUE(rig.waitStatus("Update OK!", 60000)) << mc.getLogText();
    EXPECT_EQ(0, std::memcmp(rig.flash(), image::buildUpdateImage(rom).getData(), 0x80000));
    EXPECT_FALSE(rig.work.getChildFile("orv_backup.tmp").exists());
    EXPECT_EQ(rig.work.getChildFile("orv_tmp_read.tmp").getSize(), 0x80000);
}

TEST(MainComponentFlow, SilentInstrumentEndsWithTimeOutAndUsableControls)
{
    image::ImageSpec rom;
    // The instrument falls silent when the backup read begins.
    Rig rig("silent_on_read=0x40000", &rom);
    auto& mc = *rig.main;
    ASSERT_TRUE(rig.waitStatus("Piano connected."));
    mc.buttonClicked(control<ImageButtonWithText>(mc, "updateButton"));
    ASSERT_TRUE(rig.waitStatus("Time out!", 60000)) << mc.getLogText();
    EXPECT_FALSE(mc.isUpdating());
    EXPECT_FALSE(control<juce::ProgressBar>(mc, "progressBar")->isVisible());
    // The program looks for the piano again by itself; switched off and on,
    // the piano is found, and UPDATE then runs.
    EXPECT_EQ(mc.getController().phase(), UpdateController::Phase::scanning);
    EXPECT_TRUE(pumpUntil([&] { return mc.getLogText().contains("Looking for the piano again.\n"); }));
    rig.piano->setPlugged(false);
    rig.piano->setPlugged(true);
    ASSERT_TRUE(rig.waitStatus("Piano connected.")) << mc.getLogText();
    mc.buttonClicked(control<ImageButtonWithText>(mc, "updateButton"));
    ASSERT_TRUE(rig.waitStatus("Update OK!", 60000)) << mc.getLogText();
}

// The piano comes and goes: unplugged before it was ever found (the scan
// gives up and goes on quietly), plugged in late, unplugged while idle, and
// pulled in the middle of an update: each time it is paired again by itself,
// and UPDATE then finishes the interrupted update with the data kept.
TEST(MainComponentFlow, APianoThatComesAndGoesIsPairedAgainByItself)
{
    image::ImageSpec rom;
    rom.fill = "random:15";
    Rig rig("", &rom);
    auto& mc = *rig.main;
    rig.piano->setPlugged(false); // before the first scan found it
    ASSERT_TRUE(rig.waitStatus("Device is not connected!")) << mc.getLogText();
    pump(300); // the quiet scan goes on without a word
    EXPECT_EQ(mc.getStatus(), "Device is not connected!");
    rig.piano->setPlugged(true);
    ASSERT_TRUE(rig.waitStatus("Piano connected.")) << mc.getLogText();
    const std::vector<juce::uint8> data(rig.flash() + 0x40000, rig.flash() + 0x60000);

    rig.piano->setPlugged(false); // while idle
    ASSERT_TRUE(rig.waitStatus("Device is not connected!")) << mc.getLogText();
    EXPECT_FALSE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());
    rig.piano->setPlugged(true);
    ASSERT_TRUE(rig.waitStatus("Piano connected.")) << mc.getLogText();

    // Pulled once the data region is being erased.
    mc.buttonClicked(control<ImageButtonWithText>(mc, "updateButton"));
    ASSERT_TRUE(pumpUntil([&] { return mc.getLogText().contains("Erasing"); }, 30000)) << mc.getLogText();
    rig.piano->setPlugged(false);
    ASSERT_TRUE(rig.waitStatus("Time out!", 30000)) << mc.getLogText();
    EXPECT_TRUE(rig.work.getChildFile("orv_update.lock").existsAsFile());
    rig.piano->setPlugged(true);
    ASSERT_TRUE(rig.waitStatus("An earlier update was interrupted. Press UPDATE to finish it.", 30000))
        << mc.getLogText();
    ASSERT_TRUE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());
    mc.buttonClicked(control<ImageButtonWithText>(mc, "updateButton"));
    ASSERT_TRUE(rig.waitStatus("Update OK!", 60000)) << mc.getLogText();
    EXPECT_EQ(0, std::memcmp(rig.flash(), image::buildUpdateImage(rom).getData(), 0x40000));
    EXPECT_EQ(0, std::memcmp(rig.flash() + 0x40000, data.data(), data.size()));
    EXPECT_FALSE(rig.work.getChildFile("orv_update.lock").exists());
}

// ---- what may start an update, and what it writes ----------------------------------

TEST(MainComponentSafety, ARefusedImageIsNeverWritten)
{
    image::ImageSpec rom;
    rom.withSignature = false;
    Rig rig("", &rom);
    auto& mc = *rig.main;
    ASSERT_TRUE(rig.waitStatus("The update file is modified!"));
    const std::vector<juce::uint8> before(rig.flash(), rig.flash() + 0x80000);
    // A summary of some other file (the hidden file box's) ends without enabling UPDATE.
    const auto other = rig.folder.getChildFile("other.bin");
    other.replaceWithText("anything");
    mc.startFileSummary(other.getFullPathName());
    ASSERT_TRUE(pumpUntil(
        [&] {
            return control<juce::Label>(mc, "md5Label")->getText().startsWith("MD5:") &&
                   !mc.isThreadRunning();
        }));
    EXPECT_FALSE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());
    mc.getController().setControlsEnabled(true, Tone::failure);
    EXPECT_FALSE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());
    // Pressed anyway, twice: nothing starts and nothing is written.
    mc.buttonClicked(control<ImageButtonWithText>(mc, "updateButton"));
    mc.buttonClicked(control<ImageButtonWithText>(mc, "updateButton"));
    EXPECT_FALSE(mc.isUpdating());
    pump(200);
    EXPECT_EQ(0, std::memcmp(rig.flash(), before.data(), before.size()));
    EXPECT_TRUE(mc.getLogText().contains(
        "UPDATE refused: the flash, the piano's version or the update file has not been checked.\n"));
}

TEST(MainComponentSafety, AnUnrecognisedFlashKeepsUpdateOff)
{
    image::ImageSpec rom;
    // A chip that none of the built-in drivers names: every flash test fails.
    Rig rig("flash=S29GL064_S", &rom);
    auto& mc = *rig.main;
    ASSERT_TRUE(rig.waitStatus("The flash of the piano was not recognised."));
    EXPECT_FALSE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());
    // Neither a version read with a good image nor the controls' return enable UPDATE.
    postVersionRead(mc, u"V1.00.00", u"Tessaro");
    EXPECT_EQ(mc.getStatus(), "Piano connected.");
    EXPECT_FALSE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());
    mc.getController().setControlsEnabled(true, Tone::failure);
    EXPECT_FALSE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());
    mc.buttonClicked(control<ImageButtonWithText>(mc, "updateButton"));
    EXPECT_FALSE(mc.isUpdating());
    EXPECT_EQ(mc.getStatus(), "Piano connected.");
}

TEST(MainComponentSafety, TheUpdateWritesTheBytesItChecked)
{
    for (const int size : {0x40000, 0x80000})
    {
        SCOPED_TRACE(size);
        image::ImageSpec rom, other;
        rom.size = other.size = size;
        rom.fill = "random:31";
        other.version = "V3.00.00";
        other.fill = "random:32";
        Rig rig("flash=S29GL128_S", &rom);
        auto& mc = *rig.main;
        ASSERT_TRUE(rig.waitStatus("Piano connected."));
        // update.rom is replaced by another good image while the flash is
        // written, just before its first 128 KiB.
        const auto otherImage = image::buildUpdateImage(other);
        mc.getController().getQueue().setJobObserver(
            [&](size_t, const OperationRecord& r)
            {
                const auto* fromFile = std::get_if<jobs::ProgramFromFile>(&r);
                const auto* fromMemory = std::get_if<jobs::ProgramFromBuffer>(&r);
                if ((fromFile != nullptr && fromFile->flashOffset == 0) ||
                    (fromMemory != nullptr && fromMemory->flashOffset == 0))
                    rig.folder.getChildFile("update.rom")
                        .replaceWithData(otherImage.getData(), otherImage.getSize());
            });
        mc.buttonClicked(control<ImageButtonWithText>(mc, "updateButton"));
        ASSERT_TRUE(rig.waitStatus("Update OK!", 60000)) << mc.getLogText();
        EXPECT_EQ(0, std::memcmp(rig.flash(), image::buildUpdateImage(rom).getData(), (size_t)size));
    }
}

TEST(MainComponentSafety, WorkingFilesAreNeitherFollowedNorDeleted)
{
    image::ImageSpec rom;
    Rig rig("", &rom);
    auto& mc = *rig.main;
    // Before the version is read at connection, its file is made a link to a file of the user's.
    const auto victim = rig.folder.getChildFile("victim.txt");
    victim.replaceWithText("precious");
    const auto versionFile = rig.work.getChildFile("orv_read_version.bin");
    if (!victim.createSymbolicLink(versionFile, false))
    {
#if JUCE_WINDOWS
        GTEST_SKIP() << "symbolic links need a privilege this Windows user lacks";
#endif
        FAIL() << "no link made";
    }
    ASSERT_TRUE(rig.waitStatus("Can't create file to save data."));
    EXPECT_EQ(victim.loadFileAsString(), "precious");
    EXPECT_FALSE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());
    EXPECT_TRUE(mc.getLogText().contains("Refused " + versionFile.getFullPathName() + ": a symbolic link\n"));

    // Connected again, with the backup's place taken by a link at UPDATE.
    versionFile.deleteFile();
    const auto backup = rig.work.getChildFile("orv_backup.tmp");
    ASSERT_TRUE(victim.createSymbolicLink(backup, false));
    mc.buttonClicked(control<juce::DrawableButton>(mc, "connectStatusButton"));
    ASSERT_TRUE(rig.waitStatus("Piano connected."));
    const std::vector<juce::uint8> before(rig.flash(), rig.flash() + 0x80000);
    mc.buttonClicked(control<ImageButtonWithText>(mc, "updateButton"));
    ASSERT_TRUE(rig.waitStatus("Can't create file to save data.", 60000));
    EXPECT_EQ(victim.loadFileAsString(), "precious");
    EXPECT_EQ(0, std::memcmp(rig.flash(), before.data(), before.size()));

    // The plain path leaves a folder in the lock's place, which the
    // framework's deleteFile would have removed.
    image::ImageSpec large;
    large.size = 0x80000;
    Rig plain("", &large);
    ASSERT_TRUE(plain.waitStatus("Piano connected."));
    const auto lock = plain.work.getChildFile("orv_update.lock");
    lock.createDirectory();
    plain.main->buttonClicked(control<ImageButtonWithText>(plain.main, "updateButton"));
    ASSERT_TRUE(plain.waitStatus("Update OK!", 60000));
    EXPECT_TRUE(lock.isDirectory());
    EXPECT_TRUE(plain.main->getLogText().contains("Refused " + lock.getFullPathName() +
                                                  ": a folder\nCan't delete the lock file!\n"));
}

// ---- HELP ----------------------------------------------------------------------------

// The desktop launcher on PATH and POSIX signals: Linux and macOS.
#if !JUCE_WINDOWS
namespace
{
// Puts `folder` first on PATH for the life of the object.
struct LauncherOnPath
{
    explicit LauncherOnPath(const juce::File& folder) : saved(std::getenv("PATH") ? std::getenv("PATH") : "")
    {
        ::setenv("PATH", (folder.getFullPathName() + ":" + juce::String(saved)).toRawUTF8(), 1);
    }
    ~LauncherOnPath() { ::setenv("PATH", saved.c_str(), 1); }
    std::string saved;
};

// A stand-in for the desktop's launcher, a script with the given body, in `folder`.
juce::File makeLauncher(const juce::File& folder, const juce::String& body)
{
    folder.createDirectory();
    const auto launcher = folder.getChildFile("xdg-open");
    launcher.replaceWithText("#!/bin/sh\n" + body + "\n", false, false, "\n");
    launcher.setExecutePermission(true);
    return folder;
}
} // namespace

TEST(MainComponentHelp, TheViewerGetsThePathAsOneArgumentAndNoShellSeesIt)
{
    // A hostile program folder name, and a Help.pdf with the execute bit that
    // is a script (as on a stick whose files all carry it).
    Rig rig("silent_after=0", nullptr, "q $(touch shell-ran) ;touch also-ran;");
    auto& mc = *rig.main;
    const auto help = rig.folder.getChildFile("Help.pdf");
    help.replaceWithText("#!/bin/sh\ntouch \"$(dirname \"$0\")/help-ran\"\n", false, false, "\n");
    help.setExecutePermission(true);
    const auto record = rig.folder.getParentDirectory().getChildFile(rig.folder.getFileName() + ".launched");
    LauncherOnPath path(
        makeLauncher(rig.folder.getChildFile("bin"),
                     "{ echo \"$#\"; echo \"$1\"; grep SigIgn /proc/$$/status; } > \"$0.out\"; "
                     "mv \"$0.out\" '" +
                         record.getFullPathName() + "'"));
    std::signal(SIGPIPE, SIG_IGN); // as the program does
    mc.buttonClicked(control<ImageButtonWithText>(mc, "helpButton"));
    ASSERT_TRUE(pumpUntil([&] { return record.existsAsFile(); }, 10000)) << mc.getLogText();
    juce::StringArray lines;
    lines.addLines(record.loadFileAsString().trimEnd());
    record.deleteFile();
    ASSERT_EQ(lines.size(), 3) << lines.joinIntoString("|");
    EXPECT_EQ(lines[0], "1");
    EXPECT_EQ(lines[1], help.getFullPathName());
    // The viewer gets SIGPIPE back to its default.
    const auto ignored = lines[2].fromFirstOccurrenceOf(":", false, false).trim().getHexValue64();
    EXPECT_EQ(ignored & (1LL << (SIGPIPE - 1)), 0) << lines[2];
    EXPECT_FALSE(rig.folder.getChildFile("help-ran").exists());
    const auto cwd = juce::File::getCurrentWorkingDirectory();
    for (const char* marker : {"shell-ran", "also-ran"})
    {
        EXPECT_FALSE(cwd.getChildFile(marker).exists()) << marker;
        cwd.getChildFile(marker).deleteFile();
    }
}

TEST(MainComponentHelp, EveryFailureToShowTheHelpIsLogged)
{
    Rig rig("silent_after=0");
    auto& mc = *rig.main;
    const auto help = rig.folder.getChildFile("Help.pdf");
    pump(20); // the first log line
    auto pressed = [&]
    {
        control<CLogEditor>(mc, "logEditor")->clear();
        mc.buttonClicked(control<ImageButtonWithText>(mc, "helpButton"));
        pump(5);
        return mc.getLogText();
    };
    EXPECT_EQ(pressed(), "Can't find " + help.getFullPathName() + "\nCan't open the help file.\n");
    help.createDirectory();
    EXPECT_EQ(pressed(), "Refused " + help.getFullPathName() + ": a folder\nCan't open the help file.\n");
    help.deleteRecursively();
    help.replaceWithText("%PDF-1.4");
    {
        // No launcher at all.
        const auto saved = juce::String(std::getenv("PATH"));
        ::setenv("PATH", rig.folder.getChildFile("empty").getFullPathName().toRawUTF8(), 1);
        EXPECT_EQ(pressed(), "Can't start xdg-open: No such file or directory\nCan't open the help file.\n"
                             "No PDF viewer could open the guide: " +
                                 help.getFullPathName() + "\n");
        EXPECT_EQ(mc.getStatus(), "No PDF viewer could open the guide: " + help.getFullPathName());
        ::setenv("PATH", saved.toRawUTF8(), 1);
    }
    // A launcher that finds no viewer: the log says why and where the guide
    // is, and so does the status line, the one thing the user sees.
    LauncherOnPath path(makeLauncher(rig.folder.getChildFile("bin"), "exit 3"));
    EXPECT_EQ(pressed(), "");
    const juce::String noViewer = "No PDF viewer could open the guide: " + help.getFullPathName();
    EXPECT_TRUE(pumpUntil(
        [&]
        {
            return mc.getLogText() ==
                   "The viewer for the help file could not be started (its launcher ended with status 3).\n" +
                       noViewer + "\n";
        }))
        << mc.getLogText();
    EXPECT_EQ(mc.getStatus(), noViewer);
}

#endif

TEST(Dialogs, ConfirmationAndCompletionContent)
{
    alertDialog_Update ask;
    EXPECT_EQ(ask.getMessage(), "Update your device?");
    EXPECT_EQ(ask.getWidth(), 400);
    ask.SetMessage("The product name in the update file is\nX\nare you sure to continue?");
    EXPECT_EQ(ask.getMessage(), "The product name in the update file is\nX\nare you sure to continue?");
    const auto glyph = alertDialog_Update::questionMarkGlyph().getBounds();
    EXPECT_NEAR(glyph.getX(), 35, 1.5);
    EXPECT_NEAR(glyph.getRight(), 94, 1.5);
    EXPECT_NEAR(glyph.getY(), 11, 1.5);
    EXPECT_NEAR(glyph.getBottom(), 107, 1.5);

    updateDoneDlg done;
    EXPECT_EQ(done.getWidth(), 572);
    EXPECT_STREQ(updateDoneDlg::completionText,
                 "Your firmware has been updated successfully.\nPlease unplug your "
                 "Tessaro, plug it back in,\nthen power on holding CHORUS and REVERB.");
}

TEST(Dialogs, DisabledImageButtonDrawsItsCaptionAtHalfAlpha)
{
    juce::Component parent;
    ImageButtonWithText button;
    button.useStandardFaces();
    button.setButtonText("UPDATE");
    button.setBounds(0, 0, 100, 44);
    parent.setBounds(0, 0, 100, 44);
    parent.addAndMakeVisible(button);
    // White caption pixels: the face itself is never that bright.
    auto whitePixels = [&]
    {
        const auto img = button.createComponentSnapshot(button.getLocalBounds());
        int n = 0;
        for (int y = 0; y < 44; ++y)
            for (int x = 0; x < 100; ++x)
                n += img.getPixelAt(x, y).getBrightness() > 0.95f ? 1 : 0;
        return n;
    };
    EXPECT_GT(whitePixels(), 30);
    parent.setEnabled(false);
    EXPECT_EQ(whitePixels(), 0);
}
