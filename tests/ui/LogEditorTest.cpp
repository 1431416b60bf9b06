#include "ui/LogEditor.h"
#include "TestSupport.h"
#include "core/LogOutput.h"
#include <gtest/gtest.h>

namespace
{
struct Ink
{
    int redMinX = 100000, redMaxX = -1, darkMinX = 100000, darkMaxX = -1, red = 0, dark = 0;
};

// Where red and dark (black) text pixels are in a snapshot of the editor.
Ink inkOf(juce::Component& c)
{
    const auto img = c.createComponentSnapshot(c.getLocalBounds(), true, 1.0f);
    const juce::Image::BitmapData data(img, juce::Image::BitmapData::readOnly);
    Ink ink;
    for (int y = 0; y < img.getHeight(); ++y)
        for (int x = 0; x < img.getWidth() - 20; ++x) // leave out the scroll bar
        {
            const auto p = data.getPixelColour(x, y);
            if (p.getRed() > 150 && p.getGreen() < 90 && p.getBlue() < 90)
            {
                ++ink.red;
                ink.redMinX = std::min(ink.redMinX, x);
                ink.redMaxX = std::max(ink.redMaxX, x);
            }
            else if (p.getRed() < 90 && p.getGreen() < 90 && p.getBlue() < 90)
            {
                ++ink.dark;
                ink.darkMinX = std::min(ink.darkMinX, x);
                ink.darkMaxX = std::max(ink.darkMaxX, x);
            }
        }
    return ink;
}

struct LogEditorFixture : ::testing::Test
{
    void SetUp() override
    {
        editor.configureAsLogView();
        editor.setColour(juce::TextEditor::backgroundColourId, juce::Colours::white);
        editor.setColour(juce::TextEditor::outlineColourId, juce::Colours::transparentWhite);
        editor.setColour(juce::TextEditor::textColourId, juce::Colours::black);
        editor.setBounds(0, 0, 600, 120);
        log.AttachEditor(&editor);
        log.SetFontSize();
    }
    void settle() { testing_support::pump(2); }

    CLogEditor editor;
    CLogOutput log;
};
} // namespace

TEST_F(LogEditorFixture, ColourAppliesOnlyToTextAppendedAfterIt)
{
    log.SetTextColour(LogColour::red);
    log.PrintA("AAAAAAAA");
    log.SetTextColour(LogColour::black);
    log.PrintA("BBBBBBBB");
    settle();
    EXPECT_EQ(editor.getText(), "AAAAAAAABBBBBBBB");
    const auto ink = inkOf(editor);
    ASSERT_GT(ink.red, 20);
    ASSERT_GT(ink.dark, 20);
    EXPECT_LT(ink.redMaxX, ink.darkMinX); // the A run is red, the B run black
}

TEST_F(LogEditorFixture, FontHeightAndBoldAffectOnlyLaterText)
{
    log.PrintA("x\n");
    settle();
    EXPECT_EQ(editor.getFontHeightSetting(), 16);
    const auto before = editor.getTextHeight();
    log.SetBold(true);
    log.PrintA("y\n");
    settle();
    EXPECT_TRUE(editor.isBold());
    EXPECT_TRUE(editor.getFont().isBold());
    log.SetBold(false);
    settle();
    EXPECT_FALSE(editor.getFont().isBold());
    EXPECT_GT(editor.getTextHeight(), before);
}

TEST_F(LogEditorFixture, AppendGoesToTheEndAndDropsTheSelection)
{
    log.PrintA("first line\n");
    settle();
    editor.setHighlightedRegion({0, 5});
    log.PrintA("second\n");
    settle();
    EXPECT_EQ(editor.getText(), "first line\nsecond\n");
    EXPECT_TRUE(editor.getHighlightedRegion().isEmpty());
    EXPECT_EQ(editor.getCaretPosition(), editor.getTotalNumChars());
}

TEST_F(LogEditorFixture, KeepsOnlyTheNewestTextAndWholeLines)
{
    // About 90 KB of numbered lines, beyond the view's bound.
    for (int i = 0; i < 1200; ++i)
        log.PrintA("line %05d of a long flood of log text that never ends ..............\n", i);
    settle();
    const auto text = editor.getText();
    EXPECT_LE(text.length(), CLogEditor::kMaxChars);
    EXPECT_GE(text.length(), CLogEditor::kKeptChars - 100);
    EXPECT_TRUE(text.startsWith("line ")) << text.substring(0, 80);
    EXPECT_TRUE(text.endsWith("line 01199 of a long flood of log text that never ends ..............\n"));
    EXPECT_EQ(editor.getCaretPosition(), editor.getTotalNumChars());
}

TEST_F(LogEditorFixture, ClearKeepsTheStyleInForce)
{
    log.SetTextColour(LogColour::red);
    log.PrintA("old");
    log.Clear();
    log.PrintA("RRRRRRRR");
    settle();
    EXPECT_EQ(editor.getText(), "RRRRRRRR");
    const auto ink = inkOf(editor);
    EXPECT_GT(ink.red, 20);
    EXPECT_EQ(ink.dark, 0);
}

TEST(LogEditorLifetime, RequestsForADestroyedEditorAreDroppedWithoutLeaks)
{
    CLogOutput log;
    {
        CLogEditor editor;
        log.AttachEditor(&editor);
        log.PrintA("queued but never shown");
    }
    log.AttachEditor(nullptr);
    testing_support::pump(2); // the text array is freed with the dropped message
    SUCCEED();
}
