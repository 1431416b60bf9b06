#pragma once
#include <juce_gui_basics/juce_gui_basics.h>

// An image button that also draws its caption: white, half alpha when the
// button or a parent is disabled, moved 2 pixels right and down while pressed,
// fitted to at most two lines.
class ImageButtonWithText final : public juce::ImageButton
{
public:
    explicit ImageButtonWithText(const juce::String& name = "new button") : juce::ImageButton(name) {}

    // Gives the button the three standard faces (normal, mouse over, pressed).
    void useStandardFaces();

protected:
    void paintButton(juce::Graphics& g, bool mouseOver, bool pressed) override;
};
