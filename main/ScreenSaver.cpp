#include "main/ScreenSaver.h"

namespace
{
// The framework's X11 call needs a display; without one there is no screen
// saver. The same call serves every platform.
bool haveDisplay()
{
    return juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr;
}
} // namespace

ScreenSaverBlock::ScreenSaverBlock()
{
    if (haveDisplay())
        juce::Desktop::setScreenSaverEnabled(false);
}

ScreenSaverBlock::~ScreenSaverBlock()
{
    if (haveDisplay())
        juce::Desktop::setScreenSaverEnabled(true);
}
