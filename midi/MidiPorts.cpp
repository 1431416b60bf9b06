#include "midi/MidiPorts.h"
#include <iostream>

namespace midi
{
bool Source::sendDirect(int index, const juce::uint8* data, int size)
{
    // A short request: it has left well within the wait, unless the device is stuck.
    constexpr int kSendMs = 200;
    auto port = openOutput(index);
    return port != nullptr && port->sendMessageNow(data, size) && port->waitUntilSent(kSendMs);
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

namespace
{
// A "tcp:HOST:PORT" entry's host and port; false when it is no such entry.
bool parseTcpEntry(const juce::String& entry, juce::String& host, int& port)
{
    if (!entry.startsWith("tcp:"))
        return false;
    const auto rest = entry.substring(4);
    host = rest.upToLastOccurrenceOf(":", false, false);
    const auto digits = rest.fromLastOccurrenceOf(":", false, false);
    if (host.isEmpty() || !rest.contains(":") || digits.isEmpty() || digits.length() > 5 ||
        !digits.containsOnly("0123456789"))
        return false;
    port = digits.getIntValue();
    return port > 0 && port < 65536;
}
} // namespace

juce::String checkPortList(const juce::String& list)
{
    int sources = 0;
    for (auto entry : juce::StringArray::fromTokens(list, ",", {}))
    {
        entry = entry.trim();
        juce::String host;
        int port = 0;
        if (entry.isEmpty())
            continue;
        if (entry.startsWith("tcp:") && !parseTcpEntry(entry, host, port))
            return "\"" + entry + "\" is no tcp:HOST:PORT (PORT 1 to 65535)";
        if (entry != "system" && entry != "virtual" && !entry.startsWith("tcp:"))
            return "\"" + entry + "\" is no port source (system, virtual or tcp:HOST:PORT)";
        ++sources;
    }
    return sources == 0 ? juce::String("the list of port sources is empty") : juce::String();
}

std::unique_ptr<PortSet> createPortSet(const juce::String& list, const VirtualSourceFactory& virtualFactory)
{
    auto set = std::make_unique<PortSet>();
    int virtualCount = 0;
    for (auto entry : juce::StringArray::fromTokens(list, ",", {}))
    {
        entry = entry.trim();
        juce::String host;
        int port = 0;
        if (entry == "system")
            set->addSource(createSystemSource());
        else if (entry == "virtual" && virtualFactory)
            set->addSource(virtualFactory(virtualCount++));
        else if (parseTcpEntry(entry, host, port))
            set->addSource(createTcpSource(host, port));
        else if (entry.startsWith("tcp:"))
            std::cerr << "TAMARIND_MIDI: bad entry " << entry << std::endl;
        else if (entry.isNotEmpty())
            std::cerr << "TAMARIND_MIDI: unknown source " << entry << std::endl;
    }
    return set;
}
} // namespace midi
