#include "core/JsonText.h"
#include <gtest/gtest.h>

// Names from outside may hold any character; the line must stay one line of
// JSON that a strict reader takes, and read back to the same text.
TEST(JsonText, EveryCharacterIsWrittenAsJsonAndReadsBack)
{
    const juce::String texts[] = {
        "plain",
        juce::String::charToString(7) + "bell",
        "a backslash then a: \\a",
        "\\" + juce::String::charToString(7),
        "line\nbreak\ttab\r\b\f" + juce::String::charToString(1) + juce::String::charToString(0x1f),
        juce::String(juce::CharPointer_UTF8("Fl\xc3\xbcgel \xf0\x9f\x8e\xb9")),
    };
    for (const auto& text : texts)
    {
        juce::DynamicObject::Ptr object = new juce::DynamicObject();
        object->setProperty("name", text);
        const auto line = toJsonLine(juce::var(object.get()));
        SCOPED_TRACE(line.toStdString());
        EXPECT_FALSE(line.containsAnyOf("\n\r"));
        for (int i = 0; i + 1 < line.length(); ++i)
            if (line[i] == '\\')
            {
                EXPECT_TRUE(juce::String("\"\\/bfnrtu").containsChar(line[i + 1])) << "escape " << i;
                ++i;
            }
        juce::var back;
        ASSERT_TRUE(juce::JSON::parse(line, back).wasOk());
        if (text.containsChar(0x1f3b9))
            continue; // the framework's reader takes a surrogate pair as two characters
        EXPECT_EQ(back["name"].toString(), text);
    }
}
