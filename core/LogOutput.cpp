#include "core/LogOutput.h"
#include "core/CustomMessage.h"
#include "platform/TextConversion.h"
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <vector>

namespace
{
// At most maxChars characters, never half of one: where wchar_t has 16 bits a
// character beyond the first plane takes two units, which stay together.
std::wstring cutToMaxChars(std::wstring text)
{
    size_t n = (size_t)CLogOutput::maxChars;
    if (text.size() <= n)
        return text;
    if (sizeof(wchar_t) == 2 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF)
        --n;
    text.resize(n);
    return text;
}

// vswprintf gives no partial output on overflow, so a line that does not fit
// the fixed buffer is formatted into a larger one and then cut.
std::wstring formatWide(const wchar_t* format, va_list args)
{
    wchar_t buffer[CLogOutput::maxChars + 1];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vswprintf(buffer, CLogOutput::maxChars + 1, format, copy);
    va_end(copy);
    if (n >= 0)
        return std::wstring(buffer, (size_t)n);

    for (size_t size = 4096; size <= 1u << 20; size *= 4)
    {
        std::vector<wchar_t> big(size);
        va_copy(copy, args);
        const int m = std::vswprintf(big.data(), size, format, copy);
        va_end(copy);
        if (m >= 0)
            return cutToMaxChars(std::wstring(big.data(), (size_t)m));
    }
    return {};
}
} // namespace

int CLogOutput::PrintW(const wchar_t* format, ...)
{
    if (editor.load() == nullptr)
        return 0;
    va_list args;
    va_start(args, format);
    const auto text = formatWide(format, args);
    va_end(args);
    return Write(text.c_str());
}

int CLogOutput::PrintA(const char* format, ...)
{
    if (editor.load() == nullptr)
        return 0;
    // The line is cut at maxChars characters, not bytes, so that no character
    // is split: a character of the multibyte text takes at most 4 bytes.
    char buffer[maxChars * 4 + 1];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    if (n < 0)
        buffer[0] = 0;
    return Write(cutToMaxChars(platform::narrowToWide(buffer)).c_str());
}

int CLogOutput::Write(const wchar_t* text)
{
    auto* target = editor.load();
    if (target == nullptr || text == nullptr)
        return 0;
    LogAppendText request{text};
    if (echo != nullptr)
        echo->text(juce::String(request.text.c_str()));
    postEvent(target, std::move(request));
    return 0;
}

juce::String CLogOutput::setCopies(bool toStandardOutput, const juce::File& logFile)
{
    echo.reset();
    if (toStandardOutput || logFile != juce::File())
        echo = std::make_unique<LogWriter>(toStandardOutput, logFile);
    return echo != nullptr ? echo->fileProblem() : juce::String();
}

void CLogOutput::CopyLine(const juce::String& line)
{
    if (echo != nullptr)
        echo->line(line);
}

void CLogOutput::FlushCopies()
{
    if (echo != nullptr)
        echo->flush();
}

void CLogOutput::SetBold(bool bold)
{
    postEvent(editor.load(), LogSetBold{bold});
}
void CLogOutput::SetTextColour(juce::uint32 argb)
{
    postEvent(editor.load(), LogSetColour{argb});
}
void CLogOutput::SetFontSize()
{
    postEvent(editor.load(), LogSetFontHeight{16});
}
void CLogOutput::Clear()
{
    postEvent(editor.load(), LogClear{});
}
void CLogOutput::AttachEditor(juce::MessageListener* target)
{
    prepareForPostsFromAnyThread(target);
    editor.store(target);
}

void CLogOutput::PrintHighlighted(juce::uint32 argb, const char* text)
{
    SetBold(true);
    SetTextColour(argb);
    PrintA("%s", text);
    SetBold(false);
    SetTextColour(LogColour::black);
}
