#pragma once
#include <juce_core/juce_core.h>
#include <string>

namespace platform
{
// Selects the user's character encoding for narrow text. Where the environment
// names no multibyte encoding (the plain "C" locale), UTF-8 is used.
void initialiseTextEncoding();

// A console program's text goes out as UTF-8: on Windows the console is told
// so (it would show the bytes in its own code page); elsewhere nothing to do.
void useUtf8Console();

// Converts narrow text in the system's multibyte encoding (UTF-8 on Linux and
// macOS, the ANSI code page on Windows) to wide text. Invalid bytes become U+FFFD.
std::wstring narrowToWide(const char* text);

// Writes text to standard output as UTF-8 and flushes it.
void writeStdout(const juce::String& text);
// Writes a whole line, starting a new one first if log text left one open.
void writeStdoutLine(const juce::String& line);
} // namespace platform
