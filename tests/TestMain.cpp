#include "platform/TextConversion.h"
#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

// The test thread is the message thread: tests pump its loop to receive posted
// events.
int main(int argc, char** argv)
{
    platform::initialiseTextEncoding();
    ::testing::InitGoogleTest(&argc, argv);
    juce::MessageManager::getInstance();
    const int result = RUN_ALL_TESTS();
    juce::DeletedAtShutdown::deleteAll();
    juce::MessageManager::deleteInstance();
    return result;
}
