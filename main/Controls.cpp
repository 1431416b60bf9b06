// The main component's controls: created in order, with their bounds, looks
// and names. Only the update screen is visible.
#include "main/MainComponentParts.h"
#include "ui/Pictures.h"
#include <type_traits>
#include <variant>

namespace
{
void setupLabel(juce::Label& l, float height, juce::Justification j = juce::Justification::centredLeft)
{
    l.setFont(juce::Font(height, juce::Font::plain));
    l.setJustificationType(j);
    l.setEditable(false, false, false);
    l.setColour(juce::TextEditor::textColourId, juce::Colours::black);
    l.setColour(juce::TextEditor::backgroundColourId, juce::Colour(0x00000000));
}

// One control of the table: the member that owns it, its name (its
// component ID, the member's name), its text, bounds and look.
template <typename T> using Member = std::unique_ptr<T> MainComponent::*;
using Slot = std::variant<Member<juce::ToggleButton>, Member<juce::GroupComponent>, Member<juce::TextEditor>,
                          Member<juce::Label>, Member<juce::TextButton>, Member<juce::ComboBox>,
                          Member<ImageButtonWithText>, Member<juce::DrawableButton>, Member<CLogEditor>,
                          Member<juce::ProgressBar>, Member<fileBrowser>>;

enum class Extra
{
    none,
    radioGroup,       // toggles: the Word/Byte pair
    selectAllOnFocus, // hexadecimal editors: the text is selected when focused
    rightAligned,     // labels
    writeBox          // file boxes: the box of the file to write (else to read into)
};

} // namespace

struct MainComponent::ControlRow
{
    Slot member;
    const char* id;
    const char* text; // caption, label text, group title, combo box text when nothing is
                      // selected; for editors the hint of a hexadecimal one
    juce::Rectangle<int> bounds;
    juce::uint32 colour = 0;  // text colour (labels); outline and title (groups); 0: the look's
    float fontHeight = 15.0f; // labels
    const char* tooltip = nullptr;
    Extra extra = Extra::none;
    bool shown = false; // only the update screen is shown
};

namespace
{
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

// Creates the control of `member` as its row says, a child of this component.
template <typename T>
juce::Component& MainComponent::createControl(std::unique_ptr<T> MainComponent::*member,
                                              const ControlRow& row)
{
    auto& slot = this->*member;
    if constexpr (std::is_same_v<T, juce::ToggleButton>)
    {
        slot = std::make_unique<T>(row.text);
        if (row.extra == Extra::radioGroup)
            slot->setRadioGroupId(1);
        slot->setColour(juce::ToggleButton::textColourId, juce::Colours::black);
        slot->addListener(this);
    }
    else if constexpr (std::is_same_v<T, juce::GroupComponent>)
    {
        slot = std::make_unique<T>("new group", row.text);
        slot->setColour(juce::GroupComponent::outlineColourId, juce::Colour(row.colour));
        slot->setColour(juce::GroupComponent::textColourId, juce::Colour(row.colour));
    }
    else if constexpr (std::is_same_v<T, juce::TextEditor>)
    {
        // A hexadecimal editor is set up at the end of construction; the
        // preset name's editor takes the combo boxes' face.
        slot = std::make_unique<T>("new text editor");
        if (row.text == nullptr)
            slot->setFont(uiFont());
    }
    else if constexpr (std::is_same_v<T, juce::Label>)
    {
        slot = std::make_unique<T>("new label", row.text);
        setupLabel(*slot, row.fontHeight,
                   row.extra == Extra::rightAligned ? juce::Justification::centredRight
                                                    : juce::Justification::centredLeft);
        if (row.colour != 0)
            slot->setColour(juce::Label::textColourId, juce::Colour(row.colour));
    }
    else if constexpr (std::is_same_v<T, juce::ComboBox>)
    {
        slot = std::make_unique<T>("new combo box");
        slot->setEditableText(false);
        slot->setJustificationType(juce::Justification::centredLeft);
        slot->setTextWhenNothingSelected(row.text);
        slot->setTextWhenNoChoicesAvailable("(no choices)");
        slot->addListener(this);
    }
    else if constexpr (std::is_same_v<T, juce::TextButton> || std::is_same_v<T, ImageButtonWithText>)
    {
        slot = std::make_unique<T>("new button");
        slot->setButtonText(row.text);
        if constexpr (std::is_same_v<T, ImageButtonWithText>)
            slot->useStandardFaces();
        slot->addListener(this);
    }
    else if constexpr (std::is_same_v<T, juce::DrawableButton>)
    {
        slot = std::make_unique<T>(row.text, juce::DrawableButton::ImageRaw);
        slot->addListener(this);
    }
    else if constexpr (std::is_same_v<T, CLogEditor>)
    {
        slot = std::make_unique<T>("new text editor");
        slot->configureAsLogView();
        slot->setColour(juce::TextEditor::textColourId, juce::Colours::black);
        slot->setColour(juce::TextEditor::backgroundColourId, juce::Colour(0x38ffffff));
    }
    else if constexpr (std::is_same_v<T, juce::ProgressBar>)
    {
        slot = std::make_unique<T>(progressValue);
        slot->setPercentageDisplay(false);
    }
    else
    {
        static_assert(std::is_same_v<T, fileBrowser>);
        const bool writeBox = row.extra == Extra::writeBox;
        slot = std::make_unique<T>(writeBox, this, writeBox ? FileBox::write : FileBox::read);
    }
    addAndMakeVisible(*slot);
    return *slot;
}

void MainComponent::createControls()
{
    using R = juce::Rectangle<int>;
    using M = MainComponent;
    constexpr auto red = 0xffff2c2cu, amber = 0xffbe8e00u, blue = 0xff4481ebu, grey = 0xff7c7c7cu,
                   white = 0xfffeffffu;
    constexpr auto right = Extra::rightAligned, selectAll = Extra::selectAllOnFocus;
    // In creation order, which is also the order of the children.
    const ControlRow rows[] = {
        {&M::userModeToggle, "userModeToggle", "User mode", R(136, 372, 104, 24)},
        {&M::writeOptionGroup, "writeOptionGroup", "Write option", R(72, 652, 507, 180), red},
        {&M::beepToggle, "beepToggle", "Beep when operation done.", R(168, 344, 180, 24)},
        {&M::fileOffsetEditor, "fileOffsetEditor", "Set start address of the file", R(156, 544, 615, 24), 0,
         0, nullptr, selectAll},
        {&M::fileOffsetLabel, "fileOffsetLabel", "File offset(HEX):", R(36, 576, 124, 16), grey},
        {&M::writeFlashOffsetLabel, "writeFlashOffsetLabel", "Flash offset(HEX):", R(36, 604, 124, 16)},
        {&M::writeLengthLabel, "writeLengthLabel", "Write length(HEX):", R(36, 632, 124, 16)},
        {&M::writeLengthEditor, "writeLengthEditor", "Set size to program", R(96, 520, 681, 24), 0, 0,
         "0 - To end of the file or the flash", selectAll},
        {&M::logEditor, "logEditor", nullptr, R(580, 88, 412, 192)},
        {&M::readOptionGroup, "readOptionGroup", "Read option", R(4, 480, 615, 108), amber},
        {&M::readButton, "readButton", "Read", R(344, 348, 88, 24)},
        {&M::flashLabel, "flashLabel", "Flash:", R(132, 420, 48, 16)},
        {&M::flashPageLabel, "flashPageLabel", "Flash nCS Page:", R(-12, 444, 128, 24)},
        {&M::flashPageEditor, "flashPageEditor", "Set start logic page of the flash", R(128, 444, 643, 24), 0,
         0, "If the flash is connected to CS0, set 0. If the flash is connected to CS1, set 400 here."},
        {&M::wordToggle, "wordToggle", "Word", R(4, 348, 76, 24), 0, 0, nullptr, Extra::radioGroup},
        {&M::byteToggle, "byteToggle", "Byte", R(76, 348, 72, 24), 0, 0, nullptr, Extra::radioGroup},
        {&M::writeFlashOffsetEditor, "writeFlashOffsetEditor", "Set the offset of the flash",
         R(140, 544, 681, 24), 0, 0, nullptr, selectAll},
        {&M::readFlashOffsetLabel, "readFlashOffsetLabel", "Flash offset(HEX):", R(144, 564, 124, 16)},
        {&M::readFlashOffsetEditor, "readFlashOffsetEditor", "Set read start address of flash",
         R(144, 488, 681, 24), 0, 0, nullptr, selectAll},
        {&M::readLengthEditor, "readLengthEditor", "Set read length(0 - To the end)", R(84, 588, 682, 24), 0,
         0, "0 - To the end of the flash", selectAll},
        {&M::readLengthLabel, "readLengthLabel", "Read Length(HEX):", R(164, 560, 124, 16)},
        {&M::presetGroup, "presetGroup", "Preset", R(4, 564, 580, 100), blue},
        {&M::presetListCombo, "presetListCombo", "User preset", R(12, 716, 642, 24)},
        {&M::addPresetButton, "addPresetButton", "Add", R(683, 568, 76, 24)},
        {&M::presetNameEditor, "presetNameEditor", nullptr, R(76, 620, 642, 24), 0, 0,
         "Type name , press Add button to store an new preset"},
        {&M::presetListLabel, "presetListLabel", "Presets list:", R(28, 556, 76, 16)},
        {&M::deletePresetButton, "deletePresetButton", "Delete", R(671, 560, 76, 24)},
        {&M::mcuLabel, "mcuLabel", "MCU:", R(-12, 420, 44, 16)},
        {&M::mcuCombo, "mcuCombo", "", R(36, 416, 88, 24)},
        {&M::autoCheckToggle, "autoCheckToggle", "Auto check.", R(4, 376, 92, 24)},
        {&M::progressBar, "progressBar", nullptr, R(68, 240, 440, 32)},
        {&M::writeFileBox, "writeFileBox", nullptr, R(12, 560, 707, 28), 0, 0, nullptr, Extra::writeBox},
        {&M::readFileBox, "readFileBox", nullptr, R(12, 460, 591, 28)},
        {&M::checksumLabel, "checksumLabel", "Check sum:", R(), red, 16.0f}, // placed by resized()
        {&M::md5Label, "md5Label", "MD5:", R(16, 492, 384, 24), red, 16.0f},
        {&M::selectFlashButton, "selectFlashButton", "Select flash...", R(184, 416, 587, 24)},
        {&M::connectStatusButton, "connectStatusButton", "CONNECT status", R(24, 512, 742, 36)},
        {&M::infoButton, "infoButton", "Info", R(348, 384, 72, 24)},
        {&M::updateButton, "updateButton", "UPDATE", R(148, 156, 100, 44), 0, 0, nullptr, Extra::none, true},
        {&M::helpButton, "helpButton", "HELP", R(324, 156, 100, 44), 0, 0, nullptr, Extra::none, true},
        {&M::statusLabel, "statusLabel", "Piano Connecting ...", R(152, 108, 408, 32), 0xffffffffu, 19.3f,
         nullptr, Extra::none, true},
        {&M::devVersionValue, "devVersionValue", "", R(492, 172, 80, 24), white, 18.0f, nullptr, Extra::none,
         true},
        {&M::fileVersionValue, "fileVersionValue", "", R(492, 196, 80, 24), white, 18.0f, nullptr,
         Extra::none, true},
        {&M::devVersionLabel, "devVersionLabel", "Dev Ver:", R(424, 172, 68, 24), white, 18.0f, nullptr,
         right, true},
        {&M::fileVersionLabel, "fileVersionLabel", "File Ver:", R(424, 196, 68, 24), white, 18.0f, nullptr,
         right, true},
        {&M::devNameLabel, "devNameLabel", "Dev Name:", R(72, 208, 84, 24), white, 18.0f, nullptr, right,
         true},
        {&M::devNameValue, "devNameValue", "", R(164, 208, 268, 24), 0xffffff00u, 18.0f, nullptr, Extra::none,
         true},
    };
    for (const auto& row : rows)
    {
        juce::Component& control = std::visit(
            [&](auto member) -> juce::Component& { return createControl(member, row); }, row.member);
        control.setComponentID(row.id);
        if (row.tooltip != nullptr)
            if (auto* client = dynamic_cast<juce::SettableTooltipClient*>(&control))
                client->setTooltip(row.tooltip);
        if (!row.bounds.isEmpty())
            control.setBounds(row.bounds);
    }
    {
        juce::StringArray mcus;
        for (auto& d : builtInDrivers)
            mcus.addIfNotAlreadyThere(d.mcuName);
        mcuCombo->addItemList(mcus, 1);
    }

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
    for (const auto& row : rows)
        if (!row.shown)
            hideUnreachable(*findChildWithID(row.id));

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

    for (const auto& row : rows)
        if (auto* member = std::get_if<Member<juce::TextEditor>>(&row.member); member != nullptr && row.text)
            setupHexEditor(*(this->*(*member)), row.text, row.extra == Extra::selectAllOnFocus);
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
