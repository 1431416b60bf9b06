#pragma once
#include <juce_gui_basics/juce_gui_basics.h>

// Windows only, and only under Wine. The framework paints a window's
// invalidated areas when its thread watching the display's vertical blank
// wakes up; Wine's DXGI implements that wait as a stub that always fails, so
// after its first paint a window would never be painted again. While the
// program runs under Wine, a timer paints what is pending in every window 60
// times a second. On real Windows nothing is started.
class WineRepaintPump final : private juce::Timer
{
public:
    WineRepaintPump();
    ~WineRepaintPump() override;

private:
    void timerCallback() override;
    JUCE_DECLARE_NON_COPYABLE(WineRepaintPump)
};
