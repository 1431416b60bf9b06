#include "main/MainComponent.h"
#include "TestSupport.h"
#include "midi/VirtualMidiSource.h"
#include "platform/Tones.h"
#include "reliability/ProgramSession.h"
#include "ui/UpdateDialogs.h"
#include "update/ImageBuilder.h"
#include "virtual-piano/VirtualPiano.h"
#include <gtest/gtest.h>

using testing_support::pump;
using testing_support::pumpUntil;

namespace
{
void post(MainComponent& mc, int code, int p1 = 0, int p2 = 0, int p3 = 0)
{
    mc.handleMessage(CCustomMessage(code, p1, p2, p3));
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
        main = std::make_unique<MainComponent>(reliability::testOptions(ports, folder, work));
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
    EXPECT_TRUE(mc.updateButton->isVisible());
    EXPECT_FALSE(mc.updateButton->isEnabled());
    EXPECT_TRUE(mc.helpButton->isEnabled());
    EXPECT_FALSE(mc.progressBar->isVisible());
    EXPECT_FALSE(mc.logEditor->isVisible());
    EXPECT_FALSE(mc.connectStatusButton->isVisible());
    EXPECT_EQ(mc.updateButton->getBounds(), juce::Rectangle<int>(148, 156, 100, 44));
    EXPECT_EQ(mc.helpButton->getBounds(), juce::Rectangle<int>(324, 156, 100, 44));
    EXPECT_EQ(mc.progressBar->getBounds(), juce::Rectangle<int>(68, 240, 440, 32));
    EXPECT_EQ(mc.checksumLabel->getBounds(), juce::Rectangle<int>(24, 524, 540, 24));
    // Visible children lie inside the window, except the two file boxes.
    for (auto* c : mc.getChildren())
    {
        if (c->isVisible() && c != mc.writeFileBox.get() && c != mc.readFileBox.get())
        {
            EXPECT_TRUE(mc.getLocalBounds().contains(c->getBounds())) << c->getName();
        }
    }
    EXPECT_FALSE(mc.getLocalBounds().intersects(mc.writeFileBox->getBounds()));
    // The word toggle is on while the link starts with byte addressing.
    EXPECT_TRUE(mc.wordToggle->getToggleState());
    EXPECT_FALSE(mc.getQueue().link().getWordAddressing());
    // Numeric editors take hexadecimal digits only.
    mc.fileOffsetEditor->setText({});
    mc.fileOffsetEditor->insertTextAtCaret("1aFG 3");
    EXPECT_EQ(mc.fileOffsetEditor->getText(), "1aF3");
}

TEST(MainComponentLook, ProgressBarTextAndRange)
{
    Rig rig("");
    auto& mc = *rig.main;
    juce::Image img(juce::Image::ARGB, 440, 32, true);
    auto draw = [&](double p, const juce::String& text)
    {
        juce::Graphics g(img);
        mc.drawProgressBar(g, *mc.progressBar, 440, 32, p, text);
        return img.getPixelAt(430, 2);
    };
    mc.progressBar->setColour(juce::ProgressBar::foregroundColourId, juce::Colour(0xffc0c0c0));
    EXPECT_EQ(draw(1.0, {}), juce::Colour(0xffc0c0c0));
    EXPECT_EQ(draw(1.5, {}), juce::Colour(0xff05063d)); // out of range: background only
    EXPECT_EQ(mc.getComboBoxFont(*mc.mcuCombo).getHeight(), 16.0f);
    EXPECT_EQ(mc.getPopupMenuFont().getHeight(), 16.0f);
}

TEST(MainComponentEvents, ProgressSharesJobEndsAndStatusTexts)
{
    Rig rig("silent_after=0");
    auto& mc = *rig.main;
    post(mc, EvProgress, 4, 300, 700);
    post(mc, EvProgress, 1, 50, 200);
    EXPECT_DOUBLE_EQ(mc.progressValue, 0.4);
    post(mc, EvProgress, 0, 0, 0);
    EXPECT_DOUBLE_EQ(mc.progressValue, 0.4);

    const char* texts[] = {nullptr,
                           "Can't create file to save data.",
                           "The data read from flash is not correct.",
                           "Can't create lock file!",
                           "Can't delete lock file!",
                           "Time out!"};
    for (int reason = 1; reason <= 5; ++reason)
    {
        mc.updateInProgress = true;
        mc.progressBar->setVisible(true);
        post(mc, EvStepDone, 1, reason);
        EXPECT_EQ(mc.getStatus(), texts[reason]);
        EXPECT_FALSE(mc.updateInProgress);
        EXPECT_FALSE(mc.progressBar->isVisible());
    }

    post(mc, EvNoDevice);
    EXPECT_EQ(mc.getStatus(), "Device is not connected!");
    EXPECT_TRUE(mc.connectStatusButton->isEnabled());
    post(mc, EvControls, 0, 0);
    EXPECT_FALSE(mc.connectStatusButton->isEnabled());
    post(mc, EvControls, 1, 0);
    EXPECT_TRUE(mc.connectStatusButton->isEnabled());
    post(mc, EvConnectButton, 0);
    EXPECT_FALSE(mc.userModeToggle->isEnabled());
}

TEST(MainComponentEvents, VersionResultPaths)
{
    image::ImageSpec rom;
    Rig rig("silent_after=0", &rom);
    auto& mc = *rig.main;
    auto versionRead = [&](const std::u16string& version, const std::u16string& name)
    {
        auto* block = new char16_t[137]();
        std::copy(version.begin(), version.end(), block);
        std::copy(name.begin(), name.end(), block + 9);
        mc.handleMessage(
            CCustomMessage(EvVersionRead, 0, 0, 0, block, &CCustomMessage::deleteArray<char16_t>));
    };
    versionRead(u"error", u"");
    EXPECT_EQ(mc.getStatus(), "Someting error when getting version from device.");
    EXPECT_FALSE(mc.updateButton->isEnabled());

    // Seven characters: no version shown, but the name and the file check still run.
    versionRead(u"V1.00.0", u"Tessaro");
    EXPECT_FALSE(mc.devVersionValue->isVisible());
    EXPECT_FALSE(mc.devVersionLabel->isVisible());
    EXPECT_EQ(mc.devNameValue->getText(), "Tessaro");
    EXPECT_EQ(mc.getStatus(), "Piano connected.");
    EXPECT_TRUE(mc.updateButton->isEnabled());

    versionRead(u"V1.00.00", u"");
    EXPECT_EQ(mc.devNameValue->getText(), "Can't get product name from device!");
    EXPECT_EQ(mc.devNameValue->findColour(juce::Label::textColourId), juce::Colour(0xffff0000));
    pump(5);
    EXPECT_TRUE(mc.logEditor->getText().contains("No version info in device.\n"));
}

TEST(MainComponentEvents, TonesFollowTheBeepToggle)
{
    Rig rig("silent_after=0");
    auto& mc = *rig.main;
    std::vector<std::pair<int, int>> tones;
    platform::setToneHook([&](int hz, int ms) { tones.emplace_back(hz, ms); });
    mc.setControlsEnabled(true, 1);
    EXPECT_TRUE(tones.empty());
    mc.beepToggle->setToggleState(true, juce::dontSendNotification);
    mc.setControlsEnabled(true, 1);
    mc.setControlsEnabled(true, 0);
    mc.setControlsEnabled(false, 1);
    post(mc, EvNoDevice);
    platform::setToneHook(nullptr);
    const std::vector<std::pair<int, int>> expected{{2000, 200}, {1000, 150}, {0, 100},   {1000, 150},
                                                    {1000, 150}, {0, 100},    {1000, 150}};
    EXPECT_EQ(tones, expected);
}

TEST(MainComponentEvents, FlashTicksAndCaptions)
{
    Rig rig("silent_after=0");
    auto& mc = *rig.main;
    auto tick = [&](const char* name, int state)
    {
        mc.handleMessage(CCustomMessage(EvFlashTicked, state, 0, 0, new juce::String(name),
                                        &CCustomMessage::deleteObject<juce::String>));
    };
    tick("S29GL512_S", 1);
    tick("S29GL128_S", 1);
    tick("S29GL512_S", 1);
    EXPECT_EQ(mc.selectFlashButton->getButtonText(), "S29GL512_S,S29GL128_S");
    mc.selectedFlashNames.add("S29GL128_S");
    tick("S29GL128_S", 0);
    EXPECT_EQ(mc.selectFlashButton->getButtonText(), "S29GL512_S");
    tick("S29GL512_S", 0);
    EXPECT_EQ(mc.selectFlashButton->getButtonText(), "Select flash...");

    mc.autoCheckToggle->setToggleState(true, juce::sendNotificationSync);
    EXPECT_EQ(mc.updateButton->getButtonText(), "Write&Verify");
    EXPECT_EQ(mc.readButton->getButtonText(), "Read&Verify");
    mc.autoCheckToggle->setToggleState(false, juce::sendNotificationSync);
    EXPECT_EQ(mc.updateButton->getButtonText(), "UPDATE");
}

TEST(MainComponentFlow, ConnectsIdentifiesAndChecksTheImage)
{
    image::ImageSpec rom;
    rom.version = "V1.10.00";
    Rig rig("flash=S29GL256_S", &rom);
    auto& mc = *rig.main;
    ASSERT_TRUE(rig.waitStatus("Piano connected."));
    EXPECT_TRUE(mc.updateButton->isEnabled());
    EXPECT_EQ(mc.devVersionValue->getText(), "V1.00.00");
    EXPECT_EQ(mc.fileVersionValue->getText(), "V1.10.00");
    EXPECT_EQ(mc.devNameValue->getText(), "Tessaro");
    EXPECT_EQ(mc.fileProductName, "Tessaro");
    EXPECT_EQ(mc.updateFileLength, 0x40000);
    EXPECT_TRUE(mc.instrumentConnected);
    // The status is set at once; log lines arrive as posted messages.
    EXPECT_TRUE(pumpUntil([&] { return mc.logEditor->getText().endsWith("Ready to program"); }));
    const auto log = mc.logEditor->getText();
    EXPECT_TRUE(log.startsWith("Test!\nDevice Connected! Test MCU/Flash type.\n")) << log;
    EXPECT_TRUE(log.contains("Select MCU: ORV828, flash: S29GL256_S\n"));
    EXPECT_TRUE(log.contains("Device Version:V1.00.00\n"));
    EXPECT_TRUE(log.endsWith("File version:V1.10.00\nReady to program")) << log;
}

TEST(MainComponentFlow, ProductMismatchAndMissingImage)
{
    image::ImageSpec rom;
    rom.productName = "Allegro";
    Rig rig("", &rom);
    ASSERT_TRUE(rig.waitStatus("The product name is not match to the device."));
    EXPECT_FALSE(rig.main->updateButton->isEnabled());
    EXPECT_EQ(rig.main->devNameValue->findColour(juce::Label::textColourId), juce::Colour(0xffff0000));

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
    mc.buttonClicked(mc.updateButton.get());
    EXPECT_TRUE(mc.updateInProgress);
    EXPECT_TRUE(mc.progressBar->isVisible());
    EXPECT_FALSE(mc.updateButton->isEnabled());
    ASSERT_TRUE(rig.waitStatus("Update OK!", 60000)) << mc.logEditor->getText();
    EXPECT_FALSE(mc.updateInProgress);
    const auto image = image::buildUpdateImage(rom);
    EXPECT_EQ(0, std::memcmp(rig.flash(), image.getData(), 0x40000));
    EXPECT_EQ(0, std::memcmp(rig.flash() + 0x40000, region.data(), region.size()));
    EXPECT_FALSE(rig.work.getChildFile("orv_update.lock").exists());
    EXPECT_EQ(rig.work.getChildFile("orv_backup.tmp").getSize(), 0x20000);
    const auto log = mc.logEditor->getText();
    EXPECT_TRUE(log.contains("Sending flash driver for \"Sepcial\"...")) << log;
    EXPECT_TRUE(log.contains("Testing flash \"Save_IO_Sta\"...OK.\n"));
    // Both read-back compares passed.
    EXPECT_EQ(log.indexOf("\nOK!\n"), log.indexOf("\nOK!\n"));
    EXPECT_NE(log.indexOf("\nOK!\n"), log.lastIndexOf("\nOK!\n"));
}

TEST(MainComponentFlow, LockWithoutBackupIsRefusedAndNothingIsWritten)
{
    image::ImageSpec rom;
    Rig rig("", &rom);
    auto& mc = *rig.main;
    ASSERT_TRUE(rig.waitStatus("Piano connected."));
    rig.work.getChildFile("orv_update.lock").replaceWithText("ORV backup lock!");
    std::vector<juce::uint8> before(rig.flash(), rig.flash() + 0x60000);
    mc.buttonClicked(mc.updateButton.get());
    EXPECT_EQ(mc.getStatus(), "Found an error can't be fixed in the last update.");
    EXPECT_FALSE(mc.updateInProgress);
    pump(200);
    EXPECT_EQ(0, std::memcmp(rig.flash(), before.data(), before.size()));

    // A backup shorter than the data region counts as missing.
    rig.work.getChildFile("orv_backup.tmp").replaceWithData(before.data(), 0x1F000);
    mc.buttonClicked(mc.updateButton.get());
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
    // and the flash region holds the interim image.
    std::vector<juce::uint8> saved(0x20000);
    vp::VirtualPiano::fillDataRegion(saved.data(), saved.size());
    saved[5] = 'x';
    rig.work.getChildFile("orv_backup.tmp").replaceWithData(saved.data(), saved.size());
    rig.work.getChildFile("orv_update.lock").replaceWithText("ORV backup lock!");
    std::memset(rig.flash() + 0x40000, 0x11, 0x20000);
    mc.buttonClicked(mc.updateButton.get());
    const auto& first = mc.getQueue().queued();
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(first[1].op, OperationRecord::SendDriver); // no backup read, no lock creation
    EXPECT_EQ(first[2].op, OperationRecord::EraseBuffer);
    ASSERT_TRUE(rig.waitStatus("Update OK!", 60000)) << mc.logEditor->getText();
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
    mc.buttonClicked(mc.updateButton.get());
    EXPECT_FALSE(rig.work.getChildFile("orv_update.lock").exists());
    ASSERT_TRUE(rig.waitStatus("Update OK!", 60000)) << mc.logEditor->getText();
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
    mc.buttonClicked(mc.updateButton.get());
    ASSERT_TRUE(rig.waitStatus("Time out!", 60000)) << mc.logEditor->getText();
    EXPECT_FALSE(mc.updateInProgress);
    EXPECT_FALSE(mc.progressBar->isVisible());
    EXPECT_TRUE(mc.connectStatusButton->isEnabled());
}

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
