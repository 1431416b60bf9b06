#include "main/ScreenSaver.h"

namespace
{
// The framework's X11 call needs a display; without one there is no screen saver.
bool haveDisplay()
{
    return juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr;
}
} // namespace

ScreenSaverBlock::ScreenSaverBlock()
{
#if !(JUCE_WINDOWS || JUCE_MAC)
    if (haveDisplay())
        juce::Desktop::setScreenSaverEnabled(false);
#endif
}

ScreenSaverBlock::~ScreenSaverBlock()
{
#if !(JUCE_WINDOWS || JUCE_MAC)
    if (haveDisplay())
        juce::Desktop::setScreenSaverEnabled(true);
#endif
}
