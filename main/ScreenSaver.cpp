#include "main/ScreenSaver.h"

ScreenSaverBlock::ScreenSaverBlock()
{
#if !(JUCE_WINDOWS || JUCE_MAC)
    juce::Desktop::setScreenSaverEnabled(false);
#endif
}

ScreenSaverBlock::~ScreenSaverBlock()
{
#if !(JUCE_WINDOWS || JUCE_MAC)
    juce::Desktop::setScreenSaverEnabled(true);
#endif
}
