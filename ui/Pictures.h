#pragma once
#include <juce_gui_basics/juce_gui_basics.h>

// The embedded pictures, decoded from the program's data.
namespace pictures
{
juce::Image background();   // 573 x 284
juce::Image buttonNormal(); // 100 x 44
juce::Image buttonOver();
juce::Image buttonDown();
std::unique_ptr<juce::Drawable> logo(); // 138 x 36, white
juce::Image icon();                     // 64 x 64, the program's icon (window and desktop)

enum class Connection
{
    connecting,
    disconnected,
    fullSpeed,
    highSpeed
};
std::unique_ptr<juce::Drawable> connection(Connection state, bool mouseOver);
} // namespace pictures
