#include "platform/SingleInstance.h"
#include "TestSupport.h"
#include <gtest/gtest.h>
#include <mutex>

#if JUCE_LINUX
TEST(SingleInstance, ALaterLaunchHandsItsCommandLineToTheFirst)
{
    const auto name =
        "tamarind-test-" + juce::String::toHexString(juce::Random::getSystemRandom().nextInt64());
    platform::SingleInstance first(name);
    ASSERT_TRUE(first.claimOrHandOver("ignored"));
    std::mutex m;
    juce::StringArray received;
    first.startListening(
        [&](const juce::String& text)
        {
            const std::lock_guard<std::mutex> g(m);
            received.add(text);
        });

    platform::SingleInstance second(name);
    EXPECT_FALSE(second.claimOrHandOver(juce::String::fromUTF8("my preset \xc3\xa9")));
    platform::SingleInstance third(name);
    EXPECT_FALSE(third.claimOrHandOver(""));
    first.stopListening();
    ASSERT_EQ(received.size(), 2);
    EXPECT_EQ(received[0], juce::String::fromUTF8("my preset \xc3\xa9"));
    EXPECT_EQ(received[1], "");

    // Once the first has gone, the name is free again.
    platform::SingleInstance gone(name);
    (void)gone;
}
#endif
