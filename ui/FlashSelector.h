#pragma once
#include <juce_gui_basics/juce_gui_basics.h>

// One check box per offered flash model, two columns of 150 x 24. A click
// posts a tick message (code 0x500A, state, heap juce::String name) to the
// listener; the view keeps no selection of its own.
class FlashView final : public juce::Component, public juce::Button::Listener
{
public:
    FlashView(const juce::StringArray& offered, const juce::StringArray& selected,
              juce::MessageListener* listener);
    ~FlashView() override;
    void paint(juce::Graphics&) override {}
    void resized() override {}
    void buttonClicked(juce::Button* button) override;
    const std::vector<std::unique_ptr<juce::ToggleButton>>& getButtons() const { return buttons; }

private:
    std::vector<std::unique_ptr<juce::ToggleButton>> buttons;
    juce::MessageListener* listener;
};

// The chooser: a group titled "Select flash" around a viewport on the view.
class FlashSelector final : public juce::Component
{
public:
    FlashSelector(const juce::StringArray& offered, const juce::StringArray& selected,
                  juce::MessageListener* listener);
    ~FlashSelector() override;
    void paint(juce::Graphics&) override {}
    void resized() override;
    FlashView& getView() { return *view; }

private:
    std::unique_ptr<FlashView> view;
    std::unique_ptr<juce::GroupComponent> group;
    std::unique_ptr<juce::Viewport> viewport;
};
