#include "core/JsonText.h"

juce::String toJsonLine(const juce::var& value)
{
    const auto text = juce::JSON::toString(value, true);
    if (!text.contains("\\a"))
        return text;
    juce::String out;
    out.preallocateBytes(text.getNumBytesAsUTF8() + 16);
    for (auto p = text.getCharPointer(); !p.isEmpty();)
    {
        const auto c = p.getAndAdvance();
        if (c != '\\')
        {
            out << juce::String::charToString(c);
            continue;
        }
        // An escape: its second character says which.
        const auto next = p.getAndAdvance();
        if (next == 0)
            break; // never written so; nothing after it is read
        out << (next == 'a' ? juce::String("\\u0007") : "\\" + juce::String::charToString(next));
    }
    return out;
}
