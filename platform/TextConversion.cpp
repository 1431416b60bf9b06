#include "platform/TextConversion.h"
#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>

#if JUCE_WINDOWS
#include <windows.h>
#endif

namespace platform
{
void initialiseTextEncoding()
{
#if !JUCE_WINDOWS
    const char* chosen = std::setlocale(LC_CTYPE, "");
    if (chosen == nullptr || MB_CUR_MAX == 1)
        if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr)
            std::setlocale(LC_CTYPE, "en_US.UTF-8");
#endif
}

void useUtf8Console()
{
#if JUCE_WINDOWS
    SetConsoleOutputCP(CP_UTF8);
#endif
}

std::wstring narrowToWide(const char* text)
{
    std::wstring result;
    if (text == nullptr)
        return result;
#if JUCE_WINDOWS
    const int needed = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0);
    if (needed > 0)
    {
        result.resize((size_t)needed);
        MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, result.data(), needed);
        result.resize((size_t)needed - 1);
    }
#else
    std::mbstate_t state{};
    const char* p = text;
    size_t remaining = std::strlen(text);
    result.reserve(remaining);
    while (remaining > 0)
    {
        wchar_t wc = 0;
        const size_t used = std::mbrtowc(&wc, p, remaining, &state);
        if (used == (size_t)-1 || used == (size_t)-2)
        {
            result.push_back(L'\xFFFD');
            state = std::mbstate_t{};
            ++p;
            --remaining;
            continue;
        }
        if (used == 0)
            break;
        result.push_back(wc);
        p += used;
        remaining -= used;
    }
#endif
    return result;
}

namespace
{
std::mutex stdoutLock;
bool stdoutAtLineStart = true;

void writeLocked(const char* utf8, size_t n)
{
    if (n == 0)
        return;
    std::fwrite(utf8, 1, n, stdout);
    std::fflush(stdout);
    stdoutAtLineStart = utf8[n - 1] == '\n';
}
} // namespace

void writeStdout(const juce::String& text)
{
    const std::lock_guard<std::mutex> guard(stdoutLock);
    const char* utf8 = text.toRawUTF8();
    writeLocked(utf8, std::strlen(utf8));
}

void writeStdoutLine(const juce::String& line)
{
    const std::lock_guard<std::mutex> guard(stdoutLock);
    if (!stdoutAtLineStart)
        writeLocked("\n", 1);
    const auto text = line + "\n";
    writeLocked(text.toRawUTF8(), std::strlen(text.toRawUTF8()));
}
} // namespace platform
