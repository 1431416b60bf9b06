#pragma once
#include <juce_gui_basics/juce_gui_basics.h>

// Keeps the screen saver (and display sleep) off for its lifetime.
class ScreenSaverBlock
{
public:
    ScreenSaverBlock();
    ~ScreenSaverBlock();

private:
#if JUCE_WINDOWS || JUCE_MAC
    juce::ScreenSaverDefeater defeater;
#endif
    JUCE_DECLARE_NON_COPYABLE(ScreenSaverBlock)
};
