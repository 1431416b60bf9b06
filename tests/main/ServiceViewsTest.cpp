#include "ControlAccess.h"
#include "TestSupport.h"
#include "core/CustomMessage.h"
#include "main/MainComponentParts.h"
#include "ui/FileBrowser.h"
#include "ui/FlashSelector.h"
#include "ui/InfoView.h"
#include "virtual-piano/VirtualMidiSource.h"
#include <gtest/gtest.h>

using testing_support::control;

using testing_support::pump;
using testing_support::pumpUntil;
using testing_support::Recorder;

TEST(FileDropBox, AcceptsOneFileWithAListedExtension)
{
    Recorder owner;
    fileBrowser box(true, &owner, FileBox::write);
    EXPECT_EQ(box.getWidth(), 320);
    EXPECT_EQ(box.dialogPattern(), "*.*");
    EXPECT_TRUE(box.isInterestedInFileDrag({"/x/any.hex"}));
    box.SetExtensions({".bin", ".rom"});
    EXPECT_EQ(box.dialogPattern(), "*.bin;*.rom");
    EXPECT_TRUE(box.isInterestedInFileDrag({"/x/UPDATE.ROM"}));
    EXPECT_FALSE(box.isInterestedInFileDrag({"/x/image.hex"}));
    EXPECT_FALSE(box.isInterestedInFileDrag({"/x/a.bin", "/x/b.bin"}));
    EXPECT_FALSE(box.isInterestedInFileDrag({}));

    box.fileDragEnter({"/x/a.bin"}, 1, 1);
    EXPECT_TRUE(box.isDragOver());
    box.fileDragExit({"/x/a.bin"});
    EXPECT_FALSE(box.isDragOver());
    box.fileDragEnter({"/x/a.bin"}, 1, 1);
    box.filesDropped({"/x/a.bin"}, 1, 1);
    EXPECT_FALSE(box.isDragOver());
    EXPECT_EQ(box.GetFile(), "/x/a.bin");
    pump(2);
    ASSERT_EQ(owner.count<EvFileChosen>([](auto& e) { return e.box == FileBox::write; }), 1);
    // Choosing the same file again reports it again; SetFile without notify does not.
    box.filesDropped({"/x/a.bin"}, 1, 1);
    box.SetFile("/y/b.rom", false);
    pump(2);
    EXPECT_EQ(owner.count<EvFileChosen>(), 2);
    EXPECT_EQ(box.GetFile(), "/y/b.rom");
    box.SetFile("/y/c.rom", true);
    pump(2);
    EXPECT_EQ(owner.count<EvFileChosen>(), 3);
}

TEST(FileDropBox, ClassDefaultsAreTheChineseTexts)
{
    fileBrowser box(false, nullptr, FileBox::read);
    EXPECT_EQ(box.getPrompt(), juce::String::fromUTF8(
                                   "\xe6\x8b\x96\xe6\x9b\xb3\xe6\x96\x87\xe4\xbb\xb6\xe5\x88\xb0\xe6\xad\xa4"
                                   "\xe5\xa4\x84\xef\xbc\x8c\xe6\x88\x96\xe7\x82\xb9\xe5\x87\xbb\"\xe6\xb5"
                                   "\x8f\xe8\xa7\x88\"\xe6\x8c\x89\xe9\x92\xae\xe9\x80\x89\xe6\x8b\xa9"));
    box.filesDropped({"/x/a.bin"}, 0, 0); // no listener: nothing to tell, nothing breaks
    EXPECT_EQ(box.GetFile(), "/x/a.bin");
}

TEST(FlashChooser, LayoutAndTickMessages)
{
    Recorder owner;
    FlashView five({"A", "B", "C", "D", "E"}, {"C", "Z"}, &owner);
    ASSERT_EQ(five.getButtons().size(), 5u);
    EXPECT_EQ(five.getButtons()[4]->getBounds(), juce::Rectangle<int>(8, 56, 150, 24));
    EXPECT_EQ(five.getButtons()[1]->getBounds(), juce::Rectangle<int>(158, 8, 150, 24));
    EXPECT_EQ(five.getWidth(), 308);
    EXPECT_EQ(five.getHeight(), 3 * 24 + 8);
    EXPECT_TRUE(five.getButtons()[2]->getToggleState());
    EXPECT_FALSE(five.getButtons()[0]->getToggleState());

    five.getButtons()[0]->triggerClick();
    five.getButtons()[2]->triggerClick();
    // Clicks and their messages are posted: wait for both, however slow the loop.
    ASSERT_TRUE(pumpUntil([&] { return owner.count<EvFlashTicked>() == 2; }));
    pump(5);
    ASSERT_EQ(owner.count<EvFlashTicked>(), 2);
    EXPECT_TRUE(std::get<EvFlashTicked>(owner.events[0]).ticked);
    EXPECT_FALSE(std::get<EvFlashTicked>(owner.events[1]).ticked);

    FlashView none({}, {}, nullptr);
    EXPECT_EQ(none.getWidth(), 308);
    EXPECT_EQ(none.getHeight(), 8);

    FlashSelector selector({"S29GL128_S"}, {}, nullptr);
    EXPECT_EQ(selector.getWidth(), 330);
    EXPECT_EQ(selector.getHeight(), 320);
}

TEST(InfoViewLines, ListsTheVersionAndThePorts)
{
    auto text = [](midi::PortSet& ports)
    {
        infoView view(ports);
        pump(5);
        EXPECT_EQ(view.getWidth(), 328);
        EXPECT_EQ(view.getHeight(), 300);
        return view.getEditor().getText();
    };
    midi::PortSet none;
    EXPECT_EQ(text(none),
              "Tamarind Version:0.8.9\n\nTotal Midi out devices: 0\n\nTotal Midi in devices: 0\n");

    midi::PortSet one;
    one.addSource(std::make_unique<midi::VirtualSource>(vp::PianoConfig::parse("")));
    EXPECT_EQ(text(one), "Tamarind Version:0.8.9\n\nTotal Midi out devices: 1\n    0:Virtual Piano\n\n"
                         "Total Midi in devices: 1\n    0:Virtual Piano\n");

    midi::PortSet two;
    two.addSource(std::make_unique<midi::VirtualSource>(vp::PianoConfig::parse("instruments=2")));
    two.addSource(midi::createTcpSource("127.0.0.1", 1));
    EXPECT_EQ(
        text(two),
        "Tamarind Version:0.8.9\n\nTotal Midi out devices: 3\n    0:Virtual Piano\n    1:Virtual Piano 2\n"
        "    2:TCP MIDI 127.0.0.1:1\n\nTotal Midi in devices: 3\n    0:Virtual Piano\n"
        "    1:Virtual Piano 2\n    2:TCP MIDI 127.0.0.1:1\n");
}

namespace
{
struct Service
{
    Service()
    {
        folder = testing_support::makeTempFolder("tamarind-service");
        MainComponent::Options o;
        o.ports = &ports; // no instrument
        o.periods.manualTicks = true;
        o.programFolder = folder.getFullPathName() + "/";
        o.workingFolder = folder.getFullPathName();
        o.modalDialogs = false;
        main = std::make_unique<MainComponent>(o);
        pump(2);
    }
    ~Service()
    {
        main.reset();
        folder.deleteRecursively();
    }
    juce::File folder;
    midi::PortSet ports;
    std::unique_ptr<MainComponent> main;
};
} // namespace

TEST(MainComponentPresets, AddSelectLoadAndDelete)
{
    Service s;
    auto& mc = *s.main;
    mc.buttonClicked(control<juce::TextButton>(mc, "addPresetButton"));
    pump(2);
    EXPECT_TRUE(mc.getLogText().contains("Preset name can not be empty.\n"));
    EXPECT_TRUE(mc.getPresets().getNames().isEmpty());

    control<juce::ComboBox>(mc, "mcuCombo")->setText("ORV828", juce::sendNotificationSync);
    EXPECT_EQ(mc.getOfferedFlashNames(),
              juce::StringArray({"S29GL01G_S", "S29GL128_S", "S29GL256_S", "S29GL512_S"}));
    mc.handleMessage(CCustomMessage(EvFlashTicked{"S29GL512_S", true}));
    control<juce::TextEditor>(mc, "fileOffsetEditor")->setText("1f0");
    control<juce::TextEditor>(mc, "readLengthEditor")->setText("ABC");
    control<juce::ToggleButton>(mc, "byteToggle")->setToggleState(true, juce::sendNotificationSync);
    control<juce::ToggleButton>(mc, "beepToggle")->setToggleState(true, juce::dontSendNotification);
    // On the command line a name ending in ".rom" names an update file: no
    // preset is called so.
    control<juce::TextEditor>(mc, "presetNameEditor")->setText("Studio.ROM");
    mc.buttonClicked(control<juce::TextButton>(mc, "addPresetButton"));
    pump(2);
    EXPECT_TRUE(mc.getLogText().endsWith("Preset name can not end in .rom.\n")) << mc.getLogText();
    EXPECT_TRUE(mc.getPresets().getNames().isEmpty());
    control<juce::TextEditor>(mc, "presetNameEditor")->setText("Studio");
    mc.buttonClicked(control<juce::TextButton>(mc, "addPresetButton"));
    ASSERT_EQ(mc.getPresets().getNames(), juce::StringArray({"Studio"}));
    EXPECT_EQ(control<juce::ComboBox>(mc, "presetListCombo")->getText(), "Studio");
    EXPECT_EQ(mc.getPresets().find("studio")->WriteFileOffset, 0x1f0);
    EXPECT_EQ(mc.getPresets().find("studio")->ReadLength, 0xabc);
    EXPECT_FALSE(mc.getPresets().find("studio")->UseWordAddress);

    // Another preset, then switch back by name.
    control<juce::TextEditor>(mc, "presetNameEditor")->setText("Alpha");
    control<juce::TextEditor>(mc, "fileOffsetEditor")->setText("0");
    control<juce::ToggleButton>(mc, "wordToggle")->setToggleState(true, juce::sendNotificationSync);
    mc.handleMessage(CCustomMessage(EvFlashTicked{"S29GL512_S", false}));
    mc.buttonClicked(control<juce::TextButton>(mc, "addPresetButton"));
    EXPECT_EQ(control<juce::ComboBox>(mc, "presetListCombo")->getNumItems(), 2);
    EXPECT_EQ(control<juce::ComboBox>(mc, "presetListCombo")->getItemText(0), "Alpha"); // sorted
    mc.loadPreset("STUDIO");
    EXPECT_EQ(control<juce::TextEditor>(mc, "fileOffsetEditor")->getText(), "1f0");
    EXPECT_EQ(control<juce::TextEditor>(mc, "readLengthEditor")->getText(), "abc");
    EXPECT_TRUE(control<juce::ToggleButton>(mc, "byteToggle")->getToggleState());
    EXPECT_FALSE(mc.getController().getLink().getWordAddressing());
    EXPECT_EQ(control<juce::TextButton>(mc, "selectFlashButton")->getButtonText(), "S29GL512_S");

    // The reserved name is never listed and its absence is no error.
    const auto before = mc.getLogText();
    mc.loadPreset("******AutoSave******");
    mc.loadPreset("nothing");
    pump(2);
    EXPECT_EQ(mc.getLogText(), before + "Something error... Can't load preset.\n");

    control<juce::ComboBox>(mc, "presetListCombo")->setText("Alpha", juce::dontSendNotification);
    mc.buttonClicked(control<juce::TextButton>(mc, "deletePresetButton"));
    EXPECT_EQ(mc.getPresets().getNames(), juce::StringArray({"Studio"}));
    EXPECT_EQ(control<juce::ComboBox>(mc, "presetListCombo")->getNumItems(), 1);
}

TEST(MainComponentSummary, LabelsAfterTheThreadAndUnreadableFiles)
{
    Service s;
    auto& mc = *s.main;
    const auto f = s.folder.getChildFile("abc.bin");
    f.replaceWithText("abc");
    // The box is busy from the start; only the message loop can free it again
    // (the thread's end takes the message manager's lock).
    mc.startFileSummary(f.getFullPathName());
    EXPECT_FALSE(control<fileBrowser>(mc, "writeFileBox")->isEnabled());
    EXPECT_FALSE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled());
    ASSERT_TRUE(pumpUntil([&] { return control<fileBrowser>(mc, "writeFileBox")->isEnabled(); }));
    EXPECT_EQ(control<juce::Label>(mc, "checksumLabel")->getText(), "0.00 MB  Checksum: 00000126 H");
    EXPECT_EQ(control<juce::Label>(mc, "md5Label")->getText(), "MD5:900150983CD24FB0D6963F7D28E17F72");
    EXPECT_FALSE(control<ImageButtonWithText>(mc, "updateButton")->isEnabled()); // no instrument connected
    EXPECT_FALSE(control<juce::ProgressBar>(mc, "progressBar")->isVisible());

    // A file chosen in the box starts the summary through the box's message
    // and sets the box's start location to the file's folder.
    control<fileBrowser>(mc, "writeFileBox")->SetFile(f.getFullPathName(), true);
    ASSERT_TRUE(pumpUntil(
        [&] {
            return control<fileBrowser>(mc, "writeFileBox")->getStartLocation() == s.folder.getFullPathName();
        }));
    ASSERT_TRUE(pumpUntil([&] { return control<fileBrowser>(mc, "writeFileBox")->isEnabled(); }));
    control<fileBrowser>(mc, "writeFileBox")
        ->SetFile(s.folder.getChildFile("gone/none.bin").getFullPathName(), true);
    ASSERT_TRUE(pumpUntil(
        [&]
        {
            return control<juce::Label>(mc, "md5Label")->getText() == "File cann't be opened." &&
                   control<fileBrowser>(mc, "writeFileBox")->isEnabled();
        }));
    EXPECT_EQ(control<juce::Label>(mc, "checksumLabel")->getText(), "File cann't be opened.");
    EXPECT_EQ(control<juce::Label>(mc, "md5Label")->getText(), "File cann't be opened.");
    EXPECT_EQ(control<fileBrowser>(mc, "writeFileBox")->getStartLocation(), "");
}

TEST(MainComponentSummary, QuittingWhileTheThreadRunsStopsIt)
{
    auto s = std::make_unique<Service>();
    const auto f = s->folder.getChildFile("big.bin");
    juce::MemoryBlock data(64 * 1024 * 1024, true);
    f.replaceWithData(data.getData(), data.getSize());
    s->main->startFileSummary(f.getFullPathName());
    s.reset(); // must return promptly and cleanly
    SUCCEED();
}
