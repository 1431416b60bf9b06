#include "midi/MidiPorts.h"
#include <iostream>

namespace midi
{
bool Source::sendDirect(int index, const juce::uint8* data, int size)
{
    auto port = openOutput(index);
    return port != nullptr && port->sendMessageNow(data, size);
}

PortSet::PortSet(std::vector<std::unique_ptr<Source>> s) : sources(std::move(s)) {}

void PortSet::addSource(std::unique_ptr<Source> source)
{
    const juce::ScopedLock sl(mapLock);
    sources.push_back(std::move(source));
}

juce::StringArray PortSet::collectNames(bool inputs)
{
    const juce::ScopedLock sl(mapLock);
    juce::StringArray names;
    auto& map = inputs ? inputMap : outputMap;
    map.clear();
    for (auto& s : sources)
    {
        const auto local = inputs ? s->inputNames() : s->outputNames();
        for (int i = 0; i < local.size(); ++i)
        {
            names.add(local[i]);
            map.push_back({s.get(), i});
        }
    }
    return names;
}

juce::StringArray PortSet::inputNames()
{
    return collectNames(true);
}
juce::StringArray PortSet::outputNames()
{
    return collectNames(false);
}

std::unique_ptr<InputPort> PortSet::openInput(int index, InputCallback* callback)
{
    Entry e{};
    {
        const juce::ScopedLock sl(mapLock);
        if (index < 0 || index >= (int)inputMap.size())
            return nullptr;
        e = inputMap[(size_t)index];
    }
    return e.source->openInput(e.localIndex, callback);
}

std::unique_ptr<OutputPort> PortSet::openOutput(int index)
{
    Entry e{};
    {
        const juce::ScopedLock sl(mapLock);
        if (index < 0 || index >= (int)outputMap.size())
            return nullptr;
        e = outputMap[(size_t)index];
    }
    return e.source->openOutput(e.localIndex);
}

bool PortSet::sendDirect(int index, const juce::uint8* data, int size)
{
    Entry e{};
    {
        const juce::ScopedLock sl(mapLock);
        if (index < 0 || index >= (int)outputMap.size())
            return false;
        e = outputMap[(size_t)index];
    }
    return e.source->sendDirect(e.localIndex, data, size);
}

juce::String portListFromEnvironment()
{
    const auto value = juce::SystemStats::getEnvironmentVariable("TAMARIND_MIDI", {}).trim();
    return value.isEmpty() ? juce::String("system") : value;
}

std::unique_ptr<PortSet> createPortSet(const juce::String& list, const VirtualSourceFactory& virtualFactory)
{
    auto set = std::make_unique<PortSet>();
    int virtualCount = 0;
    for (auto entry : juce::StringArray::fromTokens(list, ",", {}))
    {
        entry = entry.trim();
        if (entry == "system")
            set->addSource(createSystemSource());
        else if (entry == "virtual" && virtualFactory)
            set->addSource(virtualFactory(virtualCount++));
        else if (entry.startsWith("tcp:"))
        {
            const auto rest = entry.substring(4);
            const auto host = rest.upToLastOccurrenceOf(":", false, false);
            const int port = rest.fromLastOccurrenceOf(":", false, false).getIntValue();
            if (host.isNotEmpty() && port > 0 && port < 65536)
                set->addSource(createTcpSource(host, port));
            else
                std::cerr << "TAMARIND_MIDI: bad entry " << entry << std::endl;
        }
        else if (entry.isNotEmpty())
            std::cerr << "TAMARIND_MIDI: unknown source " << entry << std::endl;
    }
    return set;
}
} // namespace midi
