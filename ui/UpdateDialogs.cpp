#include "ui/UpdateDialogs.h"
#include "platform/WineHost.h"
#include "ui/Pictures.h"
#include <memory>

namespace
{
const juce::Colour dialogBackground(0xfff0ffff);
const juce::Colour panelColour(0xff323e44);

int runModal(juce::Component& content, const juce::String& title, juce::Component* centreAround)
{
    juce::DialogWindow::LaunchOptions options;
    options.dialogTitle = title;
    options.content.setNonOwned(&content);
    options.componentToCentreAround = centreAround;
    options.dialogBackgroundColour = dialogBackground;
    options.escapeKeyTriggersCloseButton = true;
    options.resizable = false;
    options.useNativeTitleBar = false;
    std::unique_ptr<juce::DialogWindow> window(options.create());
    // Under Wine the framework's drop shadow is four layered windows that are
    // painted again and again; on a slow machine they keep the message thread
    // so busy that a click on the dialog is never handled.
    window->setDropShadowEnabled(!platform::runningUnderWine());
    return window->runModalLoop();
}

void endModal(juce::Component& c, int result)
{
    if (auto* window = c.findParentComponentOfClass<juce::DialogWindow>())
        window->exitModalState(result);
}
} // namespace

void paintPanelHeader(juce::Graphics& g, const juce::Image& background, juce::Drawable* logo, int width,
                      int height)
{
    g.setColour(juce::Colours::black);
    g.drawImage(background, 0, 0, width, height, 0, 0, background.getWidth(), background.getHeight());
    if (logo != nullptr)
        logo->drawWithin(g, juce::Rectangle<float>(33, 14, 184, 48), juce::RectanglePlacement::stretchToFit,
                         1.0f);
    g.setColour(juce::Colours::white);
    g.setFont(juce::Font(juce::Font::getDefaultSansSerifFontName(), 24.4f, juce::Font::bold));
    g.drawText("Firmware Updater", 0, 62, width, 30, juce::Justification::centred, true);
}

// ---- confirmation -------------------------------------------------------------------

alertDialog_Update::alertDialog_Update()
{
    messageLabel = std::make_unique<juce::Label>("new label", "Update your device?");
    addAndMakeVisible(*messageLabel);
    messageLabel->setFont(juce::Font(18.0f, juce::Font::plain));
    messageLabel->setJustificationType(juce::Justification::topLeft);
    messageLabel->setEditable(false, false, false);
    messageLabel->setColour(juce::Label::textColourId, juce::Colour(0xfffeffff));
    messageLabel->setBounds(152, 56, 208, 72);

    yesButton = std::make_unique<ImageButtonWithText>("new button");
    yesButton->setButtonText("YES");
    yesButton->useStandardFaces();
    yesButton->addListener(this);
    addAndMakeVisible(*yesButton);
    yesButton->setBounds(80, 144, 100, 44);

    noButton = std::make_unique<ImageButtonWithText>("new button");
    noButton->setButtonText("NO");
    noButton->useStandardFaces();
    noButton->addListener(this);
    addAndMakeVisible(*noButton);
    noButton->setBounds(224, 144, 100, 44);

    background = pictures::background();
    glyph = questionMarkGlyph();
    setSize(400, 200);
}

alertDialog_Update::~alertDialog_Update() = default;

void alertDialog_Update::SetMessage(const juce::String& text)
{
    messageLabel->setText(text, juce::dontSendNotification);
}

void alertDialog_Update::paint(juce::Graphics& g)
{
    g.fillAll(panelColour);
    g.drawImage(background, 0, 0, 400, 200, 0, 0, background.getWidth(), background.getHeight());
    g.setColour(juce::Colour(0xffb9b9b9));
    g.fillEllipse(-140.0f, -125.0f, 300.0f, 253.0f);
    g.setColour(juce::Colour(0xff5e5e5e));
    g.fillPath(glyph);
}

void alertDialog_Update::buttonClicked(juce::Button* button)
{
    if (button == yesButton.get())
        endModal(*this, 1);
    else if (button == noButton.get())
        endModal(*this, 0);
}

int alertDialog_Update::showModal(const juce::String& title, juce::Component* centreAround)
{
    return runModal(*this, title, centreAround);
}

// A question mark inside the quarter disc: the hook, a rim along its right
// side, a highlight inside the hook, the dot and a rim along the dot. It spans
// x 35..94 and y 11..107.
juce::Path alertDialog_Update::questionMarkGlyph()
{
    juce::Path p;
    // Hook: from the left end at (40, 45) over the top (60, 11) down into the stem.
    p.startNewSubPath(40.0f, 45.0f);
    p.cubicTo(37.0f, 26.0f, 47.0f, 12.0f, 60.0f, 11.0f);
    p.cubicTo(76.0f, 10.0f, 88.0f, 20.0f, 88.0f, 34.0f);
    p.cubicTo(88.0f, 45.0f, 81.0f, 51.0f, 73.0f, 57.0f);
    p.cubicTo(67.0f, 61.0f, 66.0f, 65.0f, 66.0f, 72.0f);
    p.lineTo(66.0f, 77.0f);
    p.lineTo(55.0f, 77.0f);
    p.lineTo(55.0f, 70.0f);
    p.cubicTo(55.0f, 60.0f, 58.0f, 55.0f, 65.0f, 50.0f);
    p.cubicTo(72.0f, 45.0f, 76.0f, 41.0f, 76.0f, 34.0f);
    p.cubicTo(76.0f, 26.0f, 70.0f, 21.0f, 61.0f, 21.0f);
    p.cubicTo(52.0f, 21.0f, 47.0f, 28.0f, 48.0f, 42.0f);
    p.closeSubPath();
    // Rim along the right side of the hook.
    p.startNewSubPath(88.0f, 34.0f);
    p.cubicTo(89.0f, 22.0f, 80.0f, 12.0f, 68.0f, 11.5f);
    p.cubicTo(84.0f, 13.0f, 94.0f, 22.0f, 94.0f, 35.0f);
    p.cubicTo(94.0f, 47.0f, 86.0f, 54.0f, 76.0f, 60.0f);
    p.cubicTo(83.0f, 54.0f, 88.0f, 46.0f, 88.0f, 34.0f);
    p.closeSubPath();
    // Highlight inside the hook.
    p.startNewSubPath(50.0f, 30.0f);
    p.cubicTo(52.0f, 22.0f, 58.0f, 17.0f, 66.0f, 17.0f);
    p.cubicTo(60.0f, 19.0f, 55.0f, 23.0f, 53.0f, 30.0f);
    p.lineTo(50.0f, 30.0f);
    p.closeSubPath();
    // Dot, centred near (61, 92), radius 9.
    p.startNewSubPath(61.0f, 83.0f);
    p.cubicTo(66.0f, 83.0f, 70.0f, 87.0f, 70.0f, 92.0f);
    p.cubicTo(70.0f, 97.0f, 66.0f, 101.0f, 61.0f, 101.0f);
    p.cubicTo(56.0f, 101.0f, 52.0f, 97.0f, 52.0f, 92.0f);
    p.cubicTo(52.0f, 87.0f, 56.0f, 83.0f, 61.0f, 83.0f);
    p.closeSubPath();
    // Rim along the dot, reaching the glyph's lower and left edges.
    p.startNewSubPath(70.0f, 94.0f);
    p.cubicTo(69.0f, 101.0f, 62.0f, 107.0f, 55.0f, 106.0f);
    p.cubicTo(45.0f, 105.0f, 35.0f, 98.0f, 35.0f, 90.0f);
    p.cubicTo(38.0f, 98.0f, 46.0f, 103.0f, 55.0f, 103.0f);
    p.cubicTo(62.0f, 103.0f, 68.0f, 99.0f, 70.0f, 94.0f);
    p.closeSubPath();
    return p;
}

// ---- completion ---------------------------------------------------------------------

const char* updateDoneDlg::completionText = "Your firmware has been updated successfully.\n"
                                            "Please unplug your Tessaro, plug it back in,\n"
                                            "then power on holding CHORUS and REVERB.";

updateDoneDlg::updateDoneDlg()
{
    okButton = std::make_unique<ImageButtonWithText>("new button");
    okButton->setButtonText("OK");
    okButton->useStandardFaces();
    okButton->addListener(this);
    addAndMakeVisible(*okButton);
    okButton->setBounds(232, 224, 100, 44);

    messageLabel = std::make_unique<juce::Label>("new label", completionText);
    addAndMakeVisible(*messageLabel);
    messageLabel->setFont(juce::Font(24.0f, juce::Font::plain));
    messageLabel->setJustificationType(juce::Justification::centred);
    messageLabel->setEditable(false, false, false);
    messageLabel->setColour(juce::Label::textColourId, juce::Colour(0xfffeffff));
    messageLabel->setBounds(8, 96, 560, 120);

    background = pictures::background();
    logo = pictures::logo();
    setSize(572, 284);
}

updateDoneDlg::~updateDoneDlg() = default;

void updateDoneDlg::paint(juce::Graphics& g)
{
    g.fillAll(panelColour);
    paintPanelHeader(g, background, logo.get(), 572, 284);
}

void updateDoneDlg::buttonClicked(juce::Button* button)
{
    if (button == okButton.get())
        endModal(*this, 1);
}

int updateDoneDlg::showModal(const juce::String& title, juce::Component* centreAround)
{
    return runModal(*this, title, centreAround);
}

void updateDoneDlg::launch(const juce::String& title, juce::Component* centreAround,
                           std::function<void(int)> onClose)
{
    juce::DialogWindow::LaunchOptions options;
    options.dialogTitle = title;
    options.content.setOwned(new updateDoneDlg());
    options.componentToCentreAround = centreAround;
    options.dialogBackgroundColour = dialogBackground;
    options.escapeKeyTriggersCloseButton = true;
    options.resizable = false;
    options.useNativeTitleBar = false; // as showModalDialog gives it
    if (auto* window = options.launchAsync())
        juce::ModalComponentManager::getInstance()->attachCallback(
            window, juce::ModalCallbackFunction::create(onClose));
}
