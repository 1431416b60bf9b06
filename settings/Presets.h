#pragma once
#include <juce_core/juce_core.h>
#include <utility>
#include <vector>

// Texts held by settings records are at most 259 characters: longer ones are cut.
constexpr int kMaxSettingText = 259;
juce::String cutSettingText(const juce::String& text);

// One named set-up of a flash operation.
struct PresetNode
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

// An ordered store of named nodes, in memory for the life of the window.
// Names compare without regard to letter case; store() keeps them unique
// that way and never renames an entry.
template <typename NodeType> class ORVPreset
{
public:
    virtual ~ORVPreset() = default;
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

class CLocalPreset final : public ORVPreset<PresetNode>
{
public:
    void copyNode(PresetNode& destination, const PresetNode& source) override;
};

// The reserved name of the automatic preset; it is never listed.
extern const juce::String autoSavePresetName;
