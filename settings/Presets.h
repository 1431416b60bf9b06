#pragma once
#include <juce_core/juce_core.h>
#include <utility>
#include <vector>

// Texts held by settings records are at most 259 characters: longer ones are cut.
constexpr int kMaxSettingText = 259;
juce::String cutSettingText(const juce::String& text);

// Reads an integer attribute as signed decimal text: leading white space, an
// optional sign, digits up to the first other character; 0 without digits or
// when the attribute is missing. Values beyond 32 bits are clamped.
int readIntAttribute(const juce::XmlElement& element, const juce::String& name);

// Parses the XML form of a settings record from raw bytes; nullptr when the
// bytes are not valid UTF-8 text, hold what settings forms never hold (a
// processing instruction after the declaration, a document type, an entity
// other than the five predefined ones, a broken character reference), or are
// not XML. JUCE's parser mishandles some such text, so it is refused first.
// Elements nested deeper than kMaxSettingsNesting levels are refused too.
constexpr int kMaxSettingsNesting = 64;
std::unique_ptr<juce::XmlElement> parseSettingsXml(const void* data, size_t size);

// Installation-wide settings.
struct _GLOBAL_NODE_
{
    bool WorkMode = false;
    int WinLeft = 100, WinTop = 100, WinWidth = 500, WinHeight = 600;
    juce::String DriverPath;
};

// One named set-up of a flash operation.
struct _PRESET_NODE
{
    juce::String MCUName;
    juce::StringArray FlashList;
    int FlashPage = 0;
    juce::String WriteFileName;
    int WriteFileOffset = 0, WriteLength = 0, WriteFlashOffset = 0;
    juce::String ReadFileName;
    int ReadFlashOffset = 0, ReadLength = 0;
    bool UseWordAddress = false, BeepWhenDone = false, ReadAndCheckAfterWrite = false;
};

// An ordered store of named nodes. Names compare without regard to letter
// case; store() keeps them unique that way and never renames an entry.
template <typename NodeType> class ORVPreset
{
public:
    virtual ~ORVPreset() = default;
    virtual void loadNode(const juce::XmlElement& element, NodeType& node) = 0;
    virtual void saveNode(juce::XmlElement& element, const NodeType& node) = 0;
    virtual void copyNode(NodeType& destination, const NodeType& source) = 0;

    NodeType* find(const juce::String& name)
    {
        for (auto& e : entries)
            if (sameName(e.first, name))
                return &e.second;
        return nullptr;
    }

    int store(const juce::String& name, const NodeType& node)
    {
        if (auto* existing = find(name))
        {
            copyNode(*existing, node);
            return 0;
        }
        entries.emplace_back(cutSettingText(name), NodeType());
        copyNode(entries.back().second, node);
        return 0;
    }

    int remove(const juce::String& name)
    {
        for (auto it = entries.begin(); it != entries.end(); ++it)
            if (sameName(it->first, name))
            {
                entries.erase(it);
                return 0;
            }
        return -1;
    }

    juce::StringArray getNames() const
    {
        juce::StringArray names;
        for (auto& e : entries)
            names.add(e.first);
        return names;
    }

private:
    static bool sameName(const juce::String& a, const juce::String& b)
    {
        return a.toUpperCase() == b.toUpperCase();
    }
    std::vector<std::pair<juce::String, NodeType>> entries;
};

class GlobalPreset : public ORVPreset<_GLOBAL_NODE_>
{
public:
    void loadNode(const juce::XmlElement& element, _GLOBAL_NODE_& node) override;
    void saveNode(juce::XmlElement& element, const _GLOBAL_NODE_& node) override;
    void copyNode(_GLOBAL_NODE_& destination, const _GLOBAL_NODE_& source) override;
};

class CLocalPreset : public ORVPreset<_PRESET_NODE>
{
public:
    void loadNode(const juce::XmlElement& element, _PRESET_NODE& node) override;
    void saveNode(juce::XmlElement& element, const _PRESET_NODE& node) override;
    void copyNode(_PRESET_NODE& destination, const _PRESET_NODE& source) override;
};

// The reserved name of the automatic preset; it is never listed.
extern const juce::String autoSavePresetName;
