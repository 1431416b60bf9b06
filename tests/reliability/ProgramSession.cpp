#include "reliability/ProgramSession.h"

namespace reliability
{
Files readFolder(const juce::File& folder)
{
    Files files;
    for (const auto& f : folder.findChildFiles(juce::File::findFiles, false))
    {
        juce::MemoryBlock data;
        f.loadFileAsData(data);
        files[f.getFileName()] = data;
    }
    return files;
}

bool restore(const juce::File& store, const std::vector<juce::uint8>& head, const juce::File& work,
             const Files& files)
{
    {
        juce::FileOutputStream out(store);
        if (!out.openedOk() || !out.setPosition(0) || !out.write(head.data(), head.size()))
            return false;
    }
    work.deleteRecursively();
    work.createDirectory();
    for (const auto& [name, data] : files)
        if (!work.getChildFile(name).replaceWithData(data.getData(), data.getSize()))
            return false;
    return true;
}
} // namespace reliability
