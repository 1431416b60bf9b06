#include "ui/ImageButtonWithText.h"
#include "ui/Pictures.h"

void ImageButtonWithText::useStandardFaces()
{
    setImages(false, false, false, pictures::buttonNormal(), 1.0f, juce::Colours::transparentBlack,
              pictures::buttonOver(), 1.0f, juce::Colours::transparentBlack, pictures::buttonDown(), 1.0f,
              juce::Colours::transparentBlack, 0.0f);
}

void ImageButtonWithText::paintButton(juce::Graphics& g, bool mouseOver, bool pressed)
{
    juce::ImageButton::paintButton(g, mouseOver, pressed);

    const juce::Font font(juce::jlimit(0.1f, 10000.0f, getHeight() * 0.5f), juce::Font::plain);
    g.setFont(font);
    auto colour = juce::Colours::white;
    if (!isEnabled())
        colour = colour.withMultipliedAlpha(0.5f);
    g.setColour(colour);

    const int yIndent = juce::jmin(4, juce::roundToInt((float)getHeight() * 0.3f));
    const int cornerSize = juce::jmin(getHeight(), getWidth()) / 2;
    const int fontHeight = juce::roundToInt(font.getHeight() * 0.6f);
    const int leftIndent = juce::jmin(fontHeight, 2 + cornerSize / (isConnectedOnLeft() ? 4 : 2));
    const int rightIndent = juce::jmin(fontHeight, 2 + cornerSize / (isConnectedOnRight() ? 4 : 2));
    const int textWidth = getWidth() - leftIndent - rightIndent;
    if (textWidth <= 0)
        return;
    const int d = pressed ? 2 : 0;
    g.drawFittedText(getButtonText(), leftIndent + d, yIndent + d, textWidth, getHeight() - yIndent * 2,
                     juce::Justification::centred, 2);
}
