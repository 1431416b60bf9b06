#pragma once
#include <juce_gui_basics/juce_gui_basics.h>

// Keeps the screen saver (and display sleep) off for its lifetime.
class ScreenSaverBlock final
{
public:
    ScreenSaverBlock();
    ~ScreenSaverBlock();

private:
    JUCE_DECLARE_NON_COPYABLE(ScreenSaverBlock)
};
