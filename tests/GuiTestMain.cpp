#include "platform/TextConversion.h"
#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

int main(int argc, char** argv)
{
    platform::initialiseTextEncoding();
    ::testing::InitGoogleTest(&argc, argv);
    juce::ScopedJuceInitialiser_GUI gui;
    return RUN_ALL_TESTS();
}
