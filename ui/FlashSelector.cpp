#include "ui/FlashSelector.h"
#include "core/CustomMessage.h"

FlashView::FlashView(const juce::StringArray& offered, const juce::StringArray& selected,
                     juce::MessageListener* owner)
    : listener(owner)
{
    setSize(600, 400);
    for (int i = 0; i < offered.size(); ++i)
    {
        auto box = std::make_unique<juce::ToggleButton>(offered[i]);
        addAndMakeVisible(*box);
        box->addListener(this);
        if (selected.contains(offered[i]))
            box->setToggleState(true, juce::dontSendNotification);
        box->setBounds(8 + (i % 2) * 150, 8 + (i / 2) * 24, 150, 24);
        buttons.push_back(std::move(box));
    }
    setSize(308, ((offered.size() + 1) / 2) * 24 + 8);
}

FlashView::~FlashView() = default;

void FlashView::buttonClicked(juce::Button* button)
{
    postEvent(listener, EvFlashTicked{button->getButtonText(), button->getToggleState()});
}

FlashSelector::FlashSelector(const juce::StringArray& offered, const juce::StringArray& selected,
                             juce::MessageListener* listener)
{
    group = std::make_unique<juce::GroupComponent>("new group", "Select flash");
    addAndMakeVisible(*group);
    viewport = std::make_unique<juce::Viewport>("new component");
    addAndMakeVisible(*viewport);
    view = std::make_unique<FlashView>(offered, selected, listener);
    viewport->setScrollBarsShown(true, true, true, true);
    viewport->setViewedComponent(view.get(), false);
    setSize(330, 320);
}

FlashSelector::~FlashSelector()
{
    viewport->setViewedComponent(nullptr, false);
}

void FlashSelector::resized()
{
    group->setBounds(0, 0, getWidth(), getHeight());
    viewport->setBounds(8, 16, getWidth() - 16, getHeight() - 24);
}
