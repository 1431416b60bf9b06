#include "settings/Presets.h"
#include <gtest/gtest.h>

TEST(PresetStore, NamesMatchWithoutCaseAndKeepTheirOrder)
{
    CLocalPreset store;
    EXPECT_TRUE(store.getNames().isEmpty());
    EXPECT_EQ(store.find("x"), nullptr);
    PresetNode a;
    a.FlashPage = 1;
    EXPECT_EQ(store.store("ABC", a), 0);
    a.FlashPage = 2;
    EXPECT_EQ(store.store("Second", a), 0);
    a.FlashPage = 3;
    EXPECT_EQ(store.store("third", a), 0);
    a.FlashPage = 9;
    EXPECT_EQ(store.store("abc", a), 0); // replaces, keeps the old name
    EXPECT_EQ(store.getNames(), juce::StringArray({"ABC", "Second", "third"}));
    ASSERT_NE(store.find("aBc"), nullptr);
    EXPECT_EQ(store.find("aBc")->FlashPage, 9);

    EXPECT_EQ(store.remove("SECOND"), 0);
    EXPECT_EQ(store.getNames(), juce::StringArray({"ABC", "third"}));
    EXPECT_EQ(store.remove("missing"), -1);
    EXPECT_EQ(store.getNames().size(), 2);

    // An empty name is a name like any other.
    store.store({}, a);
    EXPECT_NE(store.find({}), nullptr);
    EXPECT_EQ(store.remove({}), 0);
}

// Names and the texts of a stored node are cut to 259 characters; the flash
// list is copied whole.
TEST(PresetStore, LongTextsAreCut)
{
    const auto longText = juce::String::repeatedString("x", 400);
    PresetNode n;
    n.MCUName = n.WriteFileName = n.ReadFileName = longText;
    n.FlashList = {longText, "b"};
    CLocalPreset store;
    store.store(longText, n);
    ASSERT_EQ(store.getNames().size(), 1);
    EXPECT_EQ(store.getNames()[0].length(), kMaxSettingText);
    const auto* kept = store.find(longText.substring(0, kMaxSettingText));
    ASSERT_NE(kept, nullptr);
    for (const auto* text : {&kept->MCUName, &kept->WriteFileName, &kept->ReadFileName})
        EXPECT_EQ(text->length(), kMaxSettingText);
    EXPECT_EQ(kept->FlashList, n.FlashList);
}
