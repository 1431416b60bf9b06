#include "settings/Presets.h"

const juce::String autoSavePresetName = "******AutoSave******";

juce::String cutSettingText(const juce::String& text)
{
    return text.substring(0, kMaxSettingText);
}

void CLocalPreset::copyNode(PresetNode& destination, const PresetNode& source)
{
    if (&destination == &source)
        return;
    destination = source;
    destination.MCUName = cutSettingText(source.MCUName);
    destination.WriteFileName = cutSettingText(source.WriteFileName);
    destination.ReadFileName = cutSettingText(source.ReadFileName);
}
