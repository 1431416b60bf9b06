// The main component's controls: created in order, with their bounds, looks
// and names. Only the update screen is visible.
#include "main/MainComponent.h"
#include "ui/Pictures.h"

namespace
{
template <typename T, typename... Args> std::unique_ptr<T> make(juce::Component& parent, Args&&... args)
{
    auto c = std::make_unique<T>(std::forward<Args>(args)...);
    parent.addAndMakeVisible(*c);
    return c;
}

void setupLabel(juce::Label& l, float height, juce::Justification j = juce::Justification::centredLeft)
{
    l.setFont(juce::Font(height, juce::Font::plain));
    l.setJustificationType(j);
    l.setEditable(false, false, false);
    l.setColour(juce::TextEditor::textColourId, juce::Colours::black);
    l.setColour(juce::TextEditor::backgroundColourId, juce::Colour(0x00000000));
}

void setupHexEditor(juce::TextEditor& e, const juce::String& hint, bool selectAllOnFocus)
{
    e.setMultiLine(false);
    e.setReturnKeyStartsNewLine(false);
    e.setReadOnly(false);
    e.setScrollbarsShown(true);
    e.setCaretVisible(true);
    e.setPopupMenuEnabled(true);
    e.setText({});
    e.setInputRestrictions(0, "0123456789ABCDEFabcdef");
    e.setSelectAllWhenFocused(selectAllOnFocus);
    e.setTextToShowWhenEmpty(hint, juce::Colour::fromRGB(160, 160, 160));
}
} // namespace

void MainComponent::createControls()
{
    auto& self = *this;
    userModeToggle = make<juce::ToggleButton>(self, "User mode");
    userModeToggle->setColour(juce::ToggleButton::textColourId, juce::Colours::black);
    userModeToggle->addListener(this);
    userModeToggle->setBounds(136, 372, 104, 24);

    writeOptionGroup = make<juce::GroupComponent>(self, "new group", "Write option");
    writeOptionGroup->setColour(juce::GroupComponent::outlineColourId, juce::Colour(0xffff2c2c));
    writeOptionGroup->setColour(juce::GroupComponent::textColourId, juce::Colour(0xffff2c2c));
    writeOptionGroup->setBounds(72, 652, 507, 180);

    beepToggle = make<juce::ToggleButton>(self, "Beep when operation done.");
    beepToggle->setColour(juce::ToggleButton::textColourId, juce::Colours::black);
    beepToggle->addListener(this);
    beepToggle->setBounds(168, 344, 180, 24);

    fileOffsetEditor = make<juce::TextEditor>(self, "new text editor");
    fileOffsetEditor->setBounds(156, 544, 615, 24);

    fileOffsetLabel = make<juce::Label>(self, "new label", "File offset(HEX):");
    setupLabel(*fileOffsetLabel, 15.0f);
    fileOffsetLabel->setColour(juce::Label::textColourId, juce::Colour(0xff7c7c7c));
    fileOffsetLabel->setBounds(36, 576, 124, 16);

    writeFlashOffsetLabel = make<juce::Label>(self, "new label", "Flash offset(HEX):");
    setupLabel(*writeFlashOffsetLabel, 15.0f);
    writeFlashOffsetLabel->setBounds(36, 604, 124, 16);

    writeLengthLabel = make<juce::Label>(self, "new label", "Write length(HEX):");
    setupLabel(*writeLengthLabel, 15.0f);
    writeLengthLabel->setBounds(36, 632, 124, 16);

    writeLengthEditor = make<juce::TextEditor>(self, "new text editor");
    writeLengthEditor->setTooltip("0 - To end of the file or the flash");
    writeLengthEditor->setBounds(96, 520, 681, 24);

    logEditor = make<CLogEditor>(self, "new text editor");
    logEditor->configureAsLogView();
    logEditor->setColour(juce::TextEditor::textColourId, juce::Colours::black);
    logEditor->setColour(juce::TextEditor::backgroundColourId, juce::Colour(0x38ffffff));
    logEditor->setBounds(580, 88, 412, 192);

    readOptionGroup = make<juce::GroupComponent>(self, "new group", "Read option");
    readOptionGroup->setColour(juce::GroupComponent::outlineColourId, juce::Colour(0xffbe8e00));
    readOptionGroup->setColour(juce::GroupComponent::textColourId, juce::Colour(0xffbe8e00));
    readOptionGroup->setBounds(4, 480, 615, 108);

    readButton = make<juce::TextButton>(self, "new button");
    readButton->setButtonText("Read");
    readButton->addListener(this);
    readButton->setBounds(344, 348, 88, 24);

    flashLabel = make<juce::Label>(self, "new label", "Flash:");
    setupLabel(*flashLabel, 15.0f);
    flashLabel->setBounds(132, 420, 48, 16);

    flashPageLabel = make<juce::Label>(self, "new label", "Flash nCS Page:");
    setupLabel(*flashPageLabel, 15.0f);
    flashPageLabel->setBounds(-12, 444, 128, 24);

    flashPageEditor = make<juce::TextEditor>(self, "new text editor");
    flashPageEditor->setTooltip(
        "If the flash is connected to CS0, set 0. If the flash is connected to CS1, set 400 here.");
    flashPageEditor->setBounds(128, 444, 643, 24);

    wordToggle = make<juce::ToggleButton>(self, "Word");
    wordToggle->setRadioGroupId(1);
    wordToggle->setColour(juce::ToggleButton::textColourId, juce::Colours::black);
    wordToggle->addListener(this);
    wordToggle->setBounds(4, 348, 76, 24);

    byteToggle = make<juce::ToggleButton>(self, "Byte");
    byteToggle->setRadioGroupId(1);
    byteToggle->setColour(juce::ToggleButton::textColourId, juce::Colours::black);
    byteToggle->addListener(this);
    byteToggle->setBounds(76, 348, 72, 24);

    writeFlashOffsetEditor = make<juce::TextEditor>(self, "new text editor");
    writeFlashOffsetEditor->setBounds(140, 544, 681, 24);

    readFlashOffsetLabel = make<juce::Label>(self, "new label", "Flash offset(HEX):");
    setupLabel(*readFlashOffsetLabel, 15.0f);
    readFlashOffsetLabel->setBounds(144, 564, 124, 16);

    readFlashOffsetEditor = make<juce::TextEditor>(self, "new text editor");
    readFlashOffsetEditor->setBounds(144, 488, 681, 24);

    readLengthEditor = make<juce::TextEditor>(self, "new text editor");
    readLengthEditor->setTooltip("0 - To the end of the flash");
    readLengthEditor->setBounds(84, 588, 682, 24);

    readLengthLabel = make<juce::Label>(self, "new label", "Read Length(HEX):");
    setupLabel(*readLengthLabel, 15.0f);
    readLengthLabel->setBounds(164, 560, 124, 16);

    presetGroup = make<juce::GroupComponent>(self, "new group", "Preset");
    presetGroup->setColour(juce::GroupComponent::outlineColourId, juce::Colour(0xff4481eb));
    presetGroup->setColour(juce::GroupComponent::textColourId, juce::Colour(0xff4481eb));
    presetGroup->setBounds(4, 564, 580, 100);

    presetListCombo = make<juce::ComboBox>(self, "new combo box");
    presetListCombo->setEditableText(false);
    presetListCombo->setJustificationType(juce::Justification::centredLeft);
    presetListCombo->setTextWhenNothingSelected("User preset");
    presetListCombo->setTextWhenNoChoicesAvailable("(no choices)");
    presetListCombo->addListener(this);
    presetListCombo->setBounds(12, 716, 642, 24);

    addPresetButton = make<juce::TextButton>(self, "new button");
    addPresetButton->setButtonText("Add");
    addPresetButton->addListener(this);
    addPresetButton->setBounds(683, 568, 76, 24);

    presetNameEditor = make<juce::TextEditor>(self, "new text editor");
    presetNameEditor->setTooltip("Type name , press Add button to store an new preset");
    presetNameEditor->setFont(uiFont());
    presetNameEditor->setBounds(76, 620, 642, 24);

    presetListLabel = make<juce::Label>(self, "new label", "Presets list:");
    setupLabel(*presetListLabel, 15.0f);
    presetListLabel->setBounds(28, 556, 76, 16);

    deletePresetButton = make<juce::TextButton>(self, "new button");
    deletePresetButton->setButtonText("Delete");
    deletePresetButton->addListener(this);
    deletePresetButton->setBounds(671, 560, 76, 24);

    mcuLabel = make<juce::Label>(self, "new label", "MCU:");
    setupLabel(*mcuLabel, 15.0f);
    mcuLabel->setBounds(-12, 420, 44, 16);

    mcuCombo = make<juce::ComboBox>(self, "new combo box");
    mcuCombo->setEditableText(false);
    mcuCombo->setJustificationType(juce::Justification::centredLeft);
    mcuCombo->setTextWhenNothingSelected({});
    mcuCombo->setTextWhenNoChoicesAvailable("(no choices)");
    mcuCombo->addListener(this);
    mcuCombo->setBounds(36, 416, 88, 24);
    {
        juce::StringArray mcus;
        for (auto& d : builtInDrivers)
            mcus.addIfNotAlreadyThere(d.mcuName);
        mcuCombo->addItemList(mcus, 1);
    }

    autoCheckToggle = make<juce::ToggleButton>(self, "Auto check.");
    autoCheckToggle->setColour(juce::ToggleButton::textColourId, juce::Colours::black);
    autoCheckToggle->addListener(this);
    autoCheckToggle->setBounds(4, 376, 92, 24);

    progressBar = make<juce::ProgressBar>(self, progressValue);
    progressBar->setPercentageDisplay(false);
    progressBar->setBounds(68, 240, 440, 32);

    writeFileBox = make<fileBrowser>(self, true, this, FileBox::write);
    writeFileBox->setBounds(12, 560, 707, 28);
    readFileBox = make<fileBrowser>(self, false, this, FileBox::read);
    readFileBox->setBounds(12, 460, 591, 28);

    checksumLabel = make<juce::Label>(self, "new label", "Check sum:");
    setupLabel(*checksumLabel, 16.0f);
    checksumLabel->setColour(juce::Label::textColourId, juce::Colour(0xffff2c2c));

    md5Label = make<juce::Label>(self, "new label", "MD5:");
    setupLabel(*md5Label, 16.0f);
    md5Label->setColour(juce::Label::textColourId, juce::Colour(0xffff2c2c));
    md5Label->setBounds(16, 492, 384, 24);

    selectFlashButton = make<juce::TextButton>(self, "new button");
    selectFlashButton->setButtonText("Select flash...");
    selectFlashButton->addListener(this);
    selectFlashButton->setBounds(184, 416, 587, 24);

    connectStatusButton = make<juce::DrawableButton>(self, "CONNECT status", juce::DrawableButton::ImageRaw);
    connectStatusButton->addListener(this);
    connectStatusButton->setBounds(24, 512, 742, 36);

    infoButton = make<juce::TextButton>(self, "new button");
    infoButton->setButtonText("Info");
    infoButton->addListener(this);
    infoButton->setBounds(348, 384, 72, 24);

    updateButton = make<ImageButtonWithText>(self, "new button");
    updateButton->setButtonText("UPDATE");
    updateButton->useStandardFaces();
    updateButton->addListener(this);
    updateButton->setBounds(148, 156, 100, 44);

    helpButton = make<ImageButtonWithText>(self, "new button");
    helpButton->setButtonText("HELP");
    helpButton->useStandardFaces();
    helpButton->addListener(this);
    helpButton->setBounds(324, 156, 100, 44);

    statusLabel = make<juce::Label>(self, "new label", "Piano Connecting ...");
    setupLabel(*statusLabel, 19.3f);
    statusLabel->setColour(juce::Label::textColourId, juce::Colours::white);
    statusLabel->setBounds(152, 108, 408, 32);

    devVersionValue = make<juce::Label>(self, "new label", juce::String());
    setupLabel(*devVersionValue, 18.0f);
    devVersionValue->setColour(juce::Label::textColourId, juce::Colour(0xfffeffff));
    devVersionValue->setBounds(492, 172, 80, 24);

    fileVersionValue = make<juce::Label>(self, "new label", juce::String());
    setupLabel(*fileVersionValue, 18.0f);
    fileVersionValue->setColour(juce::Label::textColourId, juce::Colour(0xfffeffff));
    fileVersionValue->setBounds(492, 196, 80, 24);

    devVersionLabel = make<juce::Label>(self, "new label", "Dev Ver:");
    setupLabel(*devVersionLabel, 18.0f, juce::Justification::centredRight);
    devVersionLabel->setColour(juce::Label::textColourId, juce::Colour(0xfffeffff));
    devVersionLabel->setBounds(424, 172, 68, 24);

    fileVersionLabel = make<juce::Label>(self, "new label", "File Ver:");
    setupLabel(*fileVersionLabel, 18.0f, juce::Justification::centredRight);
    fileVersionLabel->setColour(juce::Label::textColourId, juce::Colour(0xfffeffff));
    fileVersionLabel->setBounds(424, 196, 68, 24);

    devNameLabel = make<juce::Label>(self, "new label", "Dev Name:");
    setupLabel(*devNameLabel, 18.0f, juce::Justification::centredRight);
    devNameLabel->setColour(juce::Label::textColourId, juce::Colour(0xfffeffff));
    devNameLabel->setBounds(72, 208, 84, 24);

    devNameValue = make<juce::Label>(self, "new label", juce::String());
    setupLabel(*devNameValue, 18.0f);
    devNameValue->setColour(juce::Label::textColourId, juce::Colour(0xffffff00));
    devNameValue->setBounds(164, 208, 268, 24);

    // Pictures.
    backgroundImage = pictures::background();
    logoDrawable = pictures::logo();
    using C = pictures::Connection;
    const C states[] = {C::connecting, C::disconnected, C::fullSpeed, C::highSpeed};
    for (int i = 0; i < 4; ++i)
    {
        connectionPictures[i * 2] = pictures::connection(states[i], false);
        connectionPictures[i * 2 + 1] = pictures::connection(states[i], true);
    }
    showConnection(ConnectionPicture::scanning);

    // The two file boxes.
    for (auto* box : {writeFileBox.get(), readFileBox.get()})
    {
        box->SetButtonText("Browse...");
        box->SetPrompt("Drag&drop file here or use \"Browse\" button to select one", 12,
                       juce::Colour(0xff808080));
        box->SetDragHighlightColour(juce::Colour(0xff00ffff));
        box->SetExtensions({".bin", ".rom"});
        box->SetButtonWidth();
        box->SetPathFont(uiFont());
    }
    writeFileBox->SetPathColour(juce::Colour::fromRGB(36, 159, 0));
    readFileBox->SetPathColour(juce::Colour::fromRGB(190, 142, 0));

    setSize(572, 284);

    // Only the update screen is visible. The service controls, the two file
    // boxes among them, are hidden and take no keyboard focus: neither a click
    // nor Tab, Return or Space reaches them.
    const std::initializer_list<juce::Component*> shown{
        updateButton.get(),     helpButton.get(),       statusLabel.get(),
        devVersionValue.get(),  fileVersionValue.get(), devVersionLabel.get(),
        fileVersionLabel.get(), devNameLabel.get(),     devNameValue.get()};
    for (auto* c : getChildren())
        if (std::find(shown.begin(), shown.end(), c) == shown.end())
            hideUnreachable(*c);

    nameControls();
    wordAddressMode = true;
    wordToggle->setToggleState(true, juce::dontSendNotification);
    byteToggle->setToggleState(false, juce::dontSendNotification);

    logOutput.AttachEditor(logEditor.get());
    logOutput.SetFontSize();

    progressBar->setVisible(false);
    progressBar->setColour(juce::ProgressBar::backgroundColourId, juce::Colour::fromRGB(5, 6, 61));

    updateButton->setEnabled(false);
    readButton->setEnabled(false);
    connectStatusButton->setEnabled(false);
    userModeToggle->setEnabled(false);

    setupHexEditor(*fileOffsetEditor, "Set start address of the file", true);
    setupHexEditor(*writeLengthEditor, "Set size to program", true);
    setupHexEditor(*writeFlashOffsetEditor, "Set the offset of the flash", true);
    setupHexEditor(*flashPageEditor, "Set start logic page of the flash", false);
    setupHexEditor(*readFlashOffsetEditor, "Set read start address of flash", true);
    setupHexEditor(*readLengthEditor, "Set read length(0 - To the end)", true);
}

// Hidden, and neither it nor anything inside it takes the keyboard focus.
void MainComponent::hideUnreachable(juce::Component& c)
{
    c.setVisible(false);
    std::function<void(juce::Component&)> unfocusable = [&](juce::Component& part)
    {
        part.setWantsKeyboardFocus(false);
        part.setMouseClickGrabsKeyboardFocus(false);
        for (auto* child : part.getChildren())
            unfocusable(*child);
    };
    unfocusable(c);
}

// Every control is found by the name of its member (juce::Component::getComponentID).
void MainComponent::nameControls()
{
    const std::pair<juce::Component*, const char*> names[] = {
        {userModeToggle.get(), "userModeToggle"},
        {writeOptionGroup.get(), "writeOptionGroup"},
        {beepToggle.get(), "beepToggle"},
        {fileOffsetEditor.get(), "fileOffsetEditor"},
        {fileOffsetLabel.get(), "fileOffsetLabel"},
        {writeFlashOffsetLabel.get(), "writeFlashOffsetLabel"},
        {writeLengthLabel.get(), "writeLengthLabel"},
        {writeLengthEditor.get(), "writeLengthEditor"},
        {logEditor.get(), "logEditor"},
        {readOptionGroup.get(), "readOptionGroup"},
        {readButton.get(), "readButton"},
        {flashLabel.get(), "flashLabel"},
        {flashPageLabel.get(), "flashPageLabel"},
        {flashPageEditor.get(), "flashPageEditor"},
        {wordToggle.get(), "wordToggle"},
        {byteToggle.get(), "byteToggle"},
        {writeFlashOffsetEditor.get(), "writeFlashOffsetEditor"},
        {readFlashOffsetLabel.get(), "readFlashOffsetLabel"},
        {readFlashOffsetEditor.get(), "readFlashOffsetEditor"},
        {readLengthEditor.get(), "readLengthEditor"},
        {readLengthLabel.get(), "readLengthLabel"},
        {presetGroup.get(), "presetGroup"},
        {presetListCombo.get(), "presetListCombo"},
        {addPresetButton.get(), "addPresetButton"},
        {presetNameEditor.get(), "presetNameEditor"},
        {presetListLabel.get(), "presetListLabel"},
        {deletePresetButton.get(), "deletePresetButton"},
        {mcuLabel.get(), "mcuLabel"},
        {mcuCombo.get(), "mcuCombo"},
        {autoCheckToggle.get(), "autoCheckToggle"},
        {progressBar.get(), "progressBar"},
        {writeFileBox.get(), "writeFileBox"},
        {readFileBox.get(), "readFileBox"},
        {checksumLabel.get(), "checksumLabel"},
        {md5Label.get(), "md5Label"},
        {selectFlashButton.get(), "selectFlashButton"},
        {connectStatusButton.get(), "connectStatusButton"},
        {infoButton.get(), "infoButton"},
        {updateButton.get(), "updateButton"},
        {helpButton.get(), "helpButton"},
        {statusLabel.get(), "statusLabel"},
        {devVersionValue.get(), "devVersionValue"},
        {fileVersionValue.get(), "fileVersionValue"},
        {devVersionLabel.get(), "devVersionLabel"},
        {fileVersionLabel.get(), "fileVersionLabel"},
        {devNameLabel.get(), "devNameLabel"},
        {devNameValue.get(), "devNameValue"},
    };
    for (auto& [control, name] : names)
        control->setComponentID(name);
}
