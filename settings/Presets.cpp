#include "settings/Presets.h"
#include <cctype>
#include <cstdlib>

const juce::String autoSavePresetName = "******AutoSave******";

juce::String cutSettingText(const juce::String& text)
{
    return text.substring(0, kMaxSettingText);
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
