#pragma once
#include <juce_gui_basics/juce_gui_basics.h>

// A read-only log view. It applies the log sink's posted requests (append,
// bold, colour, font height, clear) on the message thread in arrival order;
// style changes affect only text appended after them.
class CLogEditor final : public juce::TextEditor, public juce::MessageListener
{
public:
    explicit CLogEditor(const juce::String& componentName = "new text editor");
    ~CLogEditor() override;

    void handleMessage(const juce::Message& message) override;

    // Sets up the view as every log view is: multi-line with word wrap, return
    // key starts a new line, read-only, scroll bars shown, caret hidden.
    void configureAsLogView();

    // The view keeps the newest text only: beyond kMaxChars it drops the oldest
    // lines down to about kKeptChars. (Standard output keeps everything.)
    static constexpr int kMaxChars = 64 * 1024;
    static constexpr int kKeptChars = 48 * 1024;

    int getFontHeightSetting() const { return fontHeight; }
    bool isBold() const { return bold; }

private:
    void ApplyFont();
    void dropOldestText();

    int fontHeight = 14;
    bool bold = false;
};
