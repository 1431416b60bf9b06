// Preset and global-settings XML loading, and saving what was loaded.
#include "settings/Presets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto xml = parseSettingsXml(data, size);
    if (xml == nullptr)
        return 0;
    CLocalPreset presets;
    _PRESET_NODE node;
    presets.loadNode(*xml, node);
    if (node.MCUName.length() > kMaxSettingText || node.WriteFileName.length() > kMaxSettingText)
        __builtin_trap();
    juce::XmlElement out("Preset");
    presets.saveNode(out, node);
    _PRESET_NODE again;
    presets.loadNode(out, again);
    if (again.FlashList != node.FlashList || again.ReadLength != node.ReadLength)
        __builtin_trap();
    presets.store(node.MCUName, node);

    GlobalPreset global;
    _GLOBAL_NODE_ g;
    global.loadNode(*xml, g);
    juce::XmlElement gout("Global");
    global.saveNode(gout, g);
    return 0;
}
