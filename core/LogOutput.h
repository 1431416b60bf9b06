#pragma once
#include "core/LogWriter.h"
#include <atomic>
#include <juce_events/juce_events.h>
#include <memory>

// Log colours as 32-bit ARGB.
namespace LogColour
{
constexpr juce::uint32 black = 0xff000000;
constexpr juce::uint32 red = 0xffff0000;
constexpr juce::uint32 green = 0xff008000;
constexpr juce::uint32 blue = 0xff0000ff;
} // namespace LogColour

// The log sink. Every line and every style change becomes a posted event to
// the attached view (any juce::MessageListener that takes the Log* events of
// core/CustomMessage.h), so it may be called from any thread; lines posted from one thread
// are applied in posting order. The main log also echoes its text to standard
// output for support staff and tests.
class CLogOutput final
{
public:
    static constexpr int maxChars = 1023;

    int PrintW(const wchar_t* format, ...);
    int PrintA(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    int Write(const wchar_t* text);
    void SetBold(bool bold);
    void SetTextColour(juce::uint32 argb);
    void SetFontSize();
    void Clear();
    void AttachEditor(juce::MessageListener* editor);

    // A bold, coloured passage followed by bold off and black.
    void PrintHighlighted(juce::uint32 argb, const char* text);

    // Copies of the log: on standard output and in a file (each line with its
    // time), written by a thread of their own, so logging never waits for a
    // terminal or a disk. Set before logging starts; both off by default.
    // Returns why `logFile` cannot be written (empty: it can, or none was given).
    juce::String setCopies(bool toStandardOutput, const juce::File& logFile = {});
    // A line of the program's own (a status line) in the copies, in order with
    // the log's text.
    void CopyLine(const juce::String& line);
    // Waits until the copies are written (tests, the end of the program).
    void FlushCopies();

private:
    std::atomic<juce::MessageListener*> editor{nullptr};
    std::unique_ptr<LogWriter> echo;
};
