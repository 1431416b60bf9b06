#pragma once
#include "ui/ImageButtonWithText.h"
#include <juce_gui_basics/juce_gui_basics.h>

// The yes/no question before an update: 400 x 200, YES ends the modal loop
// with 1, NO (or closing the window) with 0.
class alertDialog_Update final : public juce::Component, public juce::Button::Listener
{
public:
    alertDialog_Update();
    ~alertDialog_Update() override;

    void SetMessage(const juce::String& text);
    juce::String getMessage() const { return messageLabel->getText(); }
    void paint(juce::Graphics& g) override;
    void buttonClicked(juce::Button* button) override;

    // Shows the dialog modally over `centreAround`; returns 1 for YES, 0 otherwise.
    int showModal(const juce::String& title, juce::Component* centreAround);

    static juce::Path questionMarkGlyph();

private:
    std::unique_ptr<juce::Label> messageLabel;
    std::unique_ptr<ImageButtonWithText> yesButton;
    std::unique_ptr<ImageButtonWithText> noButton;
    juce::Image background;
    juce::Path glyph;
};

// The completion dialog: logo, title and the three-line text, OK ends it with 1.
class updateDoneDlg final : public juce::Component, public juce::Button::Listener
{
public:
    updateDoneDlg();
    ~updateDoneDlg() override;

    void paint(juce::Graphics& g) override;
    void buttonClicked(juce::Button* button) override;
    int showModal(const juce::String& title, juce::Component* centreAround);
    // Shows a new completion dialog modally without a nested loop; `onClose`
    // gets its result when it closes.
    static void launch(const juce::String& title, juce::Component* centreAround,
                       std::function<void(int)> onClose);

    static const char* completionText;

private:
    std::unique_ptr<ImageButtonWithText> okButton;
    std::unique_ptr<juce::Label> messageLabel;
    juce::Image background;
    std::unique_ptr<juce::Drawable> logo;
};

// Paints the shared top of the main window and the completion dialog: the
// background picture, the logo and the title "Firmware Updater".
void paintPanelHeader(juce::Graphics& g, const juce::Image& background, juce::Drawable* logo, int width,
                      int height);
