#pragma once
#include <functional>
#include <juce_core/juce_core.h>
#include <memory>
#include <vector>

// The MIDI port layer. The device link talks to ports through these classes
// only, so the same code runs against the system's MIDI, the in-process
// virtual piano and an instrument reached over TCP.
namespace midi
{
class InputPort;

// Receives complete messages on a thread of the port's backend, never on the
// message thread.
class InputCallback
{
public:
    virtual ~InputCallback() = default;
    virtual void handleIncomingMidiMessage(InputPort* source, const juce::uint8* data, int size) = 0;
    virtual void handlePartialSysexMessage(InputPort*, const juce::uint8*, int) {}
    // The transport knows the instrument behind `source` is gone (a closed
    // connection, an unplugged instrument); not every transport can tell.
    virtual void portLost(InputPort* source) { juce::ignoreUnused(source); }
};

// An open input. Once stop() has returned, its callback is not running and
// will not be called again until start(). The destructor stops it.
class InputPort
{
public:
    virtual ~InputPort() = default;
    virtual juce::String getName() const = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
};

// An open output; sends one complete message at a time. A send to a vanished
// instrument fails quietly (the silence shows up as a time-out).
class OutputPort
{
public:
    virtual ~OutputPort() = default;
    virtual juce::String getName() const = 0;
    virtual bool sendMessageNow(const juce::uint8* data, int size) = 0;
    // What the user should know of how this port is reached, for the log;
    // empty when there is nothing to say.
    virtual juce::String notice() const { return {}; }
    // From another thread, before the port is deleted: a send that waits for
    // the device gives up soon, and later ones fail at once.
    virtual void cancelSends() {}
    // Waits, at most `timeoutMs`, until every message sent was handed to the
    // device (a port that sends on a thread of its own drops what is left
    // when it is deleted); true when nothing is left.
    virtual bool waitUntilSent(int timeoutMs)
    {
        juce::ignoreUnused(timeoutMs);
        return true;
    }
};

// One source of ports: the system's MIDI, a virtual piano, or a TCP peer.
class Source
{
public:
    virtual ~Source() = default;
    virtual juce::StringArray inputNames() = 0;
    virtual juce::StringArray outputNames() = 0;
    virtual std::unique_ptr<InputPort> openInput(int index, InputCallback* callback) = 0;
    virtual std::unique_ptr<OutputPort> openOutput(int index) = 0;
    // Sends one message to output `index` without keeping the port open.
    virtual bool sendDirect(int index, const juce::uint8* data, int size);
};

// All sources together, as one list of inputs and one of outputs in a stable
// order (sources in the order given, each source's ports in its own order).
// The index mapping is fixed by the last call to the name functions.
class PortSet final
{
public:
    PortSet() = default;
    explicit PortSet(std::vector<std::unique_ptr<Source>> sources);

    void addSource(std::unique_ptr<Source> source);

    juce::StringArray inputNames();
    juce::StringArray outputNames();
    std::unique_ptr<InputPort> openInput(int index, InputCallback* callback);
    std::unique_ptr<OutputPort> openOutput(int index);
    bool sendDirect(int index, const juce::uint8* data, int size);

private:
    juce::StringArray collectNames(bool inputs);

    struct Entry
    {
        Source* source;
        int localIndex;
    };
    std::vector<std::unique_ptr<Source>> sources;
    std::vector<Entry> inputMap, outputMap;
    juce::CriticalSection mapLock;
};

// Builds the sources named by a comma-separated list: "system", "virtual",
// "tcp:HOST:PORT". `virtualFactory` makes one in-process instrument source per
// "virtual" entry (its argument counts them from 0); unknown entries are
// skipped with a message on stderr.
using VirtualSourceFactory = std::function<std::unique_ptr<Source>(int instance)>;
std::unique_ptr<PortSet> createPortSet(const juce::String& list, const VirtualSourceFactory& virtualFactory);

// What is wrong with a list of port sources, for a message; empty when every
// entry is a source createPortSet builds and there is at least one.
juce::String checkPortList(const juce::String& list);

// The list from TAMARIND_MIDI, "system" when unset.
juce::String portListFromEnvironment();

std::unique_ptr<Source> createSystemSource();
std::unique_ptr<Source> createTcpSource(const juce::String& host, int port);
} // namespace midi
