#include "settings/Presets.h"
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>

const juce::String autoSavePresetName = "******AutoSave******";

juce::String cutSettingText(const juce::String& text)
{
    return text.substring(0, kMaxSettingText);
}

namespace
{
// Well-formed UTF-8 as RFC 3629 defines it: no overlong forms, no surrogates,
// nothing past U+10FFFF, no zero byte. JUCE's own check lets overlong forms
// through, and its strings then miscount their bytes when copied.
bool isStrictUtf8(const juce::uint8* p, size_t n)
{
    for (size_t i = 0; i < n;)
    {
        const juce::uint8 c = p[i];
        if (c == 0)
            return false;
        if (c < 0x80)
        {
            ++i;
            continue;
        }
        int more = 0;
        juce::uint32 lowest = 0, value = 0;
        if (c >= 0xC2 && c <= 0xDF)
            more = 1, lowest = 0x80, value = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF)
            more = 2, lowest = 0x800, value = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4)
            more = 3, lowest = 0x10000, value = c & 0x07;
        else
            return false;
        if (n - i <= (size_t)more)
            return false;
        for (int k = 1; k <= more; ++k)
        {
            if ((p[i + (size_t)k] & 0xC0) != 0x80)
                return false;
            value = (value << 6) | (p[i + (size_t)k] & 0x3F);
        }
        if (value < lowest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return false;
        i += (size_t)more + 1;
    }
    return true;
}

// True when the numeric character reference after "&#" at `p` ("N;" or
// "xH;") is complete and names a Unicode character.
bool numericReferenceIsSound(juce::CharPointer_UTF8 p)
{
    const bool hex = *p == 'x' || *p == 'X';
    if (hex)
        ++p;
    juce::int64 value = 0;
    int digits = 0;
    for (; digits <= 8; ++p, ++digits)
    {
        const int digit = hex ? juce::CharacterFunctions::getHexDigitValue(*p)
                              : (*p >= '0' && *p <= '9' ? (int)(*p - '0') : -1);
        if (digit < 0)
            break;
        value = value * (hex ? 16 : 10) + digit;
    }
    return digits > 0 && digits <= 8 && *p == ';' && value > 0 && value <= 0x10FFFF &&
           !(value >= 0xD800 && value <= 0xDFFF);
}

// True when the text holds only the XML that settings forms are made of, so
// that JUCE's parser is never handed what it mishandles: every "&" starts one
// of the five predefined entities or a sound numeric reference (an unfinished
// one, or an unknown entity, makes it read past the end of the text), "<!"
// only starts a comment (no document type and no entity definitions), and
// "<?" only starts the declaration at the very beginning (a processing
// instruction followed by text inside an element makes it loop for ever).
bool settingsTextIsSound(const juce::String& text)
{
    auto rest = text.trimStart();
    if (rest.startsWith("<?xml"))
        rest = rest.fromFirstOccurrenceOf("?>", false, false);
    if (rest.contains("<?"))
        return false;
    for (int at = rest.indexOf("<!"); at >= 0; at = rest.indexOf(at + 2, "<!"))
        if (rest.substring(at, at + 4) != "<!--")
            return false;
    for (int at = rest.indexOfChar('&'); at >= 0; at = rest.indexOfChar(at + 1, '&'))
    {
        const auto after = rest.getCharPointer() + (at + 1);
        if (*after == '#')
        {
            if (!numericReferenceIsSound(after + 1))
                return false;
            continue;
        }
        bool known = false;
        for (const char* name : {"amp;", "lt;", "gt;", "quot;", "apos;"})
            known = known || after.compareUpTo(juce::CharPointer_ASCII(name), (int)std::strlen(name)) == 0;
        if (!known)
            return false;
    }
    return true;
}
// True when no element lies more than `limit` levels deep. JUCE's parser and
// the element tree it builds go one level down the stack per element level,
// so deep nesting would overflow the stack; settings forms have three levels.
bool nestingWithin(const juce::String& text, int limit)
{
    enum
    {
        content,
        startTag,
        endTag,
        comment,
        instruction
    } state = content;
    int depth = 0;
    juce::juce_wchar quote = 0, previous = 0, beforePrevious = 0;
    for (auto p = text.getCharPointer(); !p.isEmpty(); ++p)
    {
        const auto c = *p;
        switch (state)
        {
        case content:
            if (c == '<')
            {
                const auto next = *(p + 1);
                state = next == '/' ? endTag : next == '?' ? instruction : next == '!' ? comment : startTag;
                quote = 0;
            }
            break;
        case startTag:
            // Up to the '>' outside quoted attribute values; "/>" ends an empty element.
            if (quote != 0)
                quote = c == quote ? 0 : quote;
            else if (c == '"' || c == '\'')
                quote = c;
            else if (c == '>')
            {
                if (previous != '/' && ++depth > limit)
                    return false;
                state = content;
            }
            break;
        case endTag:
            if (c == '>')
            {
                --depth;
                state = content;
            }
            break;
        case comment:
            if (c == '>' && previous == '-' && beforePrevious == '-')
                state = content;
            break;
        case instruction:
            if (c == '>' && previous == '?')
                state = content;
            break;
        }
        beforePrevious = previous;
        previous = c;
    }
    return true;
}
} // namespace

std::unique_ptr<juce::XmlElement> parseSettingsXml(const void* data, size_t size)
{
    if (size > (size_t)std::numeric_limits<int>::max())
        return nullptr;
    const auto* text = static_cast<const char*>(data);
    // (A zero byte would also end the text early and hide the rest from the checks.)
    if (!isStrictUtf8(static_cast<const juce::uint8*>(data), size))
        return nullptr;
    const auto xml = juce::String::fromUTF8(text, (int)size);
    if (!settingsTextIsSound(xml) || !nestingWithin(xml, kMaxSettingsNesting))
        return nullptr;
    return juce::parseXML(xml);
}

int readIntAttribute(const juce::XmlElement& element, const juce::String& name)
{
    if (!element.hasAttribute(name))
        return 0;
    const auto text = element.getStringAttribute(name).toStdString();
    const char* p = text.c_str();
    while (*p != 0 && std::isspace((unsigned char)*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    long long value = 0;
    while (*p >= '0' && *p <= '9')
    {
        value = value * 10 + (*p++ - '0');
        if (value > 0x80000000LL)
            value = 0x80000000LL; // clamp; the sign is applied below
    }
    if (negative)
        value = -value;
    return (int)juce::jlimit<long long>(INT32_MIN, INT32_MAX, value);
}

namespace
{
juce::String textAttribute(const juce::XmlElement& e, const char* name)
{
    return cutSettingText(e.getStringAttribute(name));
}
} // namespace

// ---- installation settings ---------------------------------------------------------

void GlobalPreset::loadNode(const juce::XmlElement& element, _GLOBAL_NODE_& node)
{
    bool sawWinSize = false;
    for (auto* child : element.getChildIterator())
    {
        const auto& tag = child->getTagName();
        if (tag == "WorkMode")
            node.WorkMode = readIntAttribute(*child, "Mode") != 0;
        else if (tag == "WinSize")
        {
            node.WinLeft = child->hasAttribute("left") ? readIntAttribute(*child, "left") : 100;
            node.WinTop = child->hasAttribute("top") ? readIntAttribute(*child, "top") : 100;
            node.WinWidth = child->hasAttribute("width") ? readIntAttribute(*child, "width") : 500;
            node.WinHeight = child->hasAttribute("height") ? readIntAttribute(*child, "height") : 600;
            sawWinSize = true;
        }
        else if (tag == "DriverPath")
            node.DriverPath = textAttribute(*child, "path");
    }
    if (!sawWinSize)
    {
        node.WinLeft = 100;
        node.WinTop = 100;
        node.WinWidth = 500;
        node.WinHeight = 600;
    }
}

void GlobalPreset::saveNode(juce::XmlElement& element, const _GLOBAL_NODE_& node)
{
    element.createNewChildElement("WorkMode")->setAttribute("Mode", node.WorkMode ? 1 : 0);
    auto* size = element.createNewChildElement("WinSize");
    size->setAttribute("left", node.WinLeft);
    size->setAttribute("top", node.WinTop);
    size->setAttribute("width", node.WinWidth);
    size->setAttribute("height", node.WinHeight);
    element.createNewChildElement("DriverPath")->setAttribute("path", node.DriverPath);
}

void GlobalPreset::copyNode(_GLOBAL_NODE_& destination, const _GLOBAL_NODE_& source)
{
    destination = source;
    destination.DriverPath = cutSettingText(source.DriverPath);
}

// ---- presets -------------------------------------------------------------------------

void CLocalPreset::loadNode(const juce::XmlElement& element, _PRESET_NODE& node)
{
    for (auto* child : element.getChildIterator())
    {
        const auto& tag = child->getTagName();
        if (tag == "Global")
        {
            node.MCUName = textAttribute(*child, "MCUName");
            node.FlashPage = readIntAttribute(*child, "FlashPage");
            node.UseWordAddress = readIntAttribute(*child, "UseWordAddress") != 0;
            node.BeepWhenDone = readIntAttribute(*child, "BeepWhenDone") != 0;
            node.ReadAndCheckAfterWrite = readIntAttribute(*child, "ReadAndCheckAfterWrite") != 0;
        }
        else if (tag == "FlashList")
        {
            node.FlashList.clear();
            for (int i = 0; i < child->getNumAttributes(); ++i)
                if (child->getAttributeName(i).startsWith("FlashName"))
                    node.FlashList.add(cutSettingText(child->getAttributeValue(i)));
        }
        else if (tag == "WriteSetting")
        {
            node.WriteFileName = textAttribute(*child, "Name");
            node.WriteLength = readIntAttribute(*child, "Length");
            node.WriteFileOffset = readIntAttribute(*child, "FileOffset");
            node.WriteFlashOffset = readIntAttribute(*child, "FlashOffset");
        }
        else if (tag == "ReadSetting")
        {
            node.ReadFileName = textAttribute(*child, "Name");
            node.ReadFlashOffset = readIntAttribute(*child, "FlashOffset");
            node.ReadLength = readIntAttribute(*child, "Length");
        }
    }
}

void CLocalPreset::saveNode(juce::XmlElement& element, const _PRESET_NODE& node)
{
    auto* global = element.createNewChildElement("Global");
    global->setAttribute("MCUName", node.MCUName);
    global->setAttribute("FlashPage", node.FlashPage);
    global->setAttribute("UseWordAddress", node.UseWordAddress ? 1 : 0);
    global->setAttribute("BeepWhenDone", node.BeepWhenDone ? 1 : 0);
    global->setAttribute("ReadAndCheckAfterWrite", node.ReadAndCheckAfterWrite ? 1 : 0);
    auto* list = element.createNewChildElement("FlashList");
    for (int i = 0; i < node.FlashList.size(); ++i)
        list->setAttribute("FlashName" + juce::String(i), node.FlashList[i]);
    auto* write = element.createNewChildElement("WriteSetting");
    write->setAttribute("Name", node.WriteFileName);
    write->setAttribute("Length", node.WriteLength);
    write->setAttribute("FileOffset", node.WriteFileOffset);
    write->setAttribute("FlashOffset", node.WriteFlashOffset);
    auto* read = element.createNewChildElement("ReadSetting");
    read->setAttribute("Name", node.ReadFileName);
    read->setAttribute("FlashOffset", node.ReadFlashOffset);
    read->setAttribute("Length", node.ReadLength);
}

void CLocalPreset::copyNode(_PRESET_NODE& destination, const _PRESET_NODE& source)
{
    if (&destination == &source)
        return;
    destination = source;
    destination.MCUName = cutSettingText(source.MCUName);
    destination.WriteFileName = cutSettingText(source.WriteFileName);
    destination.ReadFileName = cutSettingText(source.ReadFileName);
}
