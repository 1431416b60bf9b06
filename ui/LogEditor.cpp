#include "ui/LogEditor.h"
#include "core/CustomMessage.h"
#include <memory>

CLogEditor::CLogEditor(const juce::String& componentName) : juce::TextEditor(componentName, 0) {}

CLogEditor::~CLogEditor() = default;

void CLogEditor::configureAsLogView()
{
    setMultiLine(true, true);
    setReturnKeyStartsNewLine(true);
    setReadOnly(true);
    setScrollbarsShown(true);
    setCaretVisible(false);
    setPopupMenuEnabled(true);
    setText({});
}

void CLogEditor::ApplyFont()
{
    const float height = juce::jlimit(0.1f, 10000.0f, (float)fontHeight);
    setFont(juce::Font(height, bold ? juce::Font::bold : juce::Font::plain));
}

void CLogEditor::dropOldestText()
{
    const int total = getTotalNumChars();
    if (total <= kMaxChars)
        return;
    // Cut at the start of a line, so no line is left in pieces.
    int cut = total - kKeptChars;
    const int lineEnd = getTextInRange({cut, juce::jmin(total, cut + 4096)}).indexOfChar('\n');
    if (lineEnd >= 0)
        cut += lineEnd + 1;
    setHighlightedRegion({0, cut});
    insertTextAtCaret({});
    setCaretPosition(getTotalNumChars());
}

void CLogEditor::handleMessage(const juce::Message& message)
{
    visitEvent(message, overloaded{[this](const LogAppendText& request)
                                   {
                                       // Always at the end, whatever the user selected.
                                       setCaretPosition(getTotalNumChars());
                                       insertTextAtCaret(juce::String(request.text.c_str()));
                                       dropOldestText();
                                   },
                                   [this](const LogSetBold& request)
                                   {
                                       bold = request.bold;
                                       ApplyFont();
                                   },
                                   [this](const LogSetColour& request)
                                   { setColour(juce::TextEditor::textColourId, juce::Colour(request.argb)); },
                                   [this](const LogSetFontHeight& request)
                                   {
                                       fontHeight = request.height;
                                       ApplyFont();
                                   },
                                   [this](const LogClear&) { clear(); }, [](const auto&) {}});
}
