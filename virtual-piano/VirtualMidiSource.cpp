#include "virtual-piano/VirtualMidiSource.h"
#include "core/SysexTrace.h"
#include <mutex>

namespace midi
{
struct VirtualSource::Instrument
{
    Instrument(const vp::PianoConfig& config, bool manual, juce::String n)
        : piano(config, manual), name(std::move(n))
    {
        piano.setDelivery(
            [this](const juce::uint8* data, int size)
            {
                // The simulation replies as fast as the processor goes, faster
                // than a trace can write: it waits here, before the host's
                // input handler runs (which itself never waits), while a trace
                // is behind, as a cable holds a real instrument back.
                SysexTrace::paceSimulatedInstrument();
                const std::lock_guard<std::mutex> g(receiverLock);
                if (receiver != nullptr)
                    receiver->handleIncomingMidiMessage(receiverPort, data, size);
            });
    }

    void setReceiver(InputPort* port, InputCallback* cb)
    {
        const std::lock_guard<std::mutex> g(receiverLock);
        receiverPort = port;
        receiver = cb;
    }

    void reportLost()
    {
        const std::lock_guard<std::mutex> g(receiverLock);
        if (receiver != nullptr)
            receiver->portLost(receiverPort);
    }

    std::atomic<bool> plugged{true};

    vp::ThreadedPiano piano;
    const juce::String name;
    std::mutex receiverLock;
    InputPort* receiverPort = nullptr;
    InputCallback* receiver = nullptr;
};

namespace
{
class VirtualInputPort final : public InputPort
{
public:
    VirtualInputPort(VirtualSource::Instrument& i, InputCallback* cb) : instrument(i), callback(cb) {}
    ~VirtualInputPort() override { stop(); }
    juce::String getName() const override { return instrument.name; }
    void start() override { instrument.setReceiver(this, callback); }
    void stop() override { instrument.setReceiver(nullptr, nullptr); }

private:
    VirtualSource::Instrument& instrument;
    InputCallback* callback;
};

class VirtualOutputPort final : public OutputPort
{
public:
    explicit VirtualOutputPort(VirtualSource::Instrument& i) : instrument(i) {}
    juce::String getName() const override { return instrument.name; }
    bool sendMessageNow(const juce::uint8* data, int size) override
    {
        if (!instrument.plugged)
            return false;
        instrument.piano.post(data, size);
        return true;
    }

private:
    VirtualSource::Instrument& instrument;
};
} // namespace

VirtualSource::VirtualSource(const vp::PianoConfig& config, int firstNumber, bool manual)
{
    for (int i = 0; i < config.instruments; ++i)
    {
        const int number = firstNumber + i;
        auto c = config;
        if (number > 0 && c.store.isNotEmpty())
            c.store << "." << number;
        instruments.push_back(std::make_unique<Instrument>(
            c, manual,
            number == 0 ? juce::String("Virtual Piano") : "Virtual Piano " + juce::String(number + 1)));
    }
}

VirtualSource::~VirtualSource() = default;

juce::StringArray VirtualSource::inputNames()
{
    juce::StringArray names;
    if (plugged)
        for (auto& i : instruments)
            names.add(i->name);
    return names;
}

void VirtualSource::setPlugged(bool nowPlugged)
{
    if (plugged.exchange(nowPlugged) == nowPlugged)
        return;
    for (auto& i : instruments)
    {
        i->plugged = nowPlugged;
        if (nowPlugged)
            i->piano.powerCycle();
        else
            i->reportLost();
    }
}

juce::StringArray VirtualSource::outputNames()
{
    return inputNames();
}

std::unique_ptr<InputPort> VirtualSource::openInput(int index, InputCallback* callback)
{
    if (!plugged || index < 0 || index >= (int)instruments.size())
        return nullptr;
    return std::make_unique<VirtualInputPort>(*instruments[(size_t)index], callback);
}

std::unique_ptr<OutputPort> VirtualSource::openOutput(int index)
{
    if (!plugged || index < 0 || index >= (int)instruments.size())
        return nullptr;
    return std::make_unique<VirtualOutputPort>(*instruments[(size_t)index]);
}

bool VirtualSource::sendDirect(int index, const juce::uint8* data, int size)
{
    if (!plugged || index < 0 || index >= (int)instruments.size())
        return false;
    instruments[(size_t)index]->piano.post(data, size);
    return true;
}

vp::ThreadedPiano& VirtualSource::piano(int index)
{
    return instruments[(size_t)index]->piano;
}

int VirtualSource::pump(int limit)
{
    int total = 0;
    while (total < limit)
    {
        int round = 0;
        for (auto& i : instruments)
            round += i->piano.pump(limit - total);
        if (round == 0)
            break;
        total += round;
    }
    return total;
}

std::unique_ptr<PortSet> createPortSetFromList(const juce::String& list)
{
    const auto config = vp::PianoConfig::fromEnvironment();
    int numbered = 0;
    return createPortSet(list,
                         [config, numbered](int) mutable
                         {
                             auto source = std::make_unique<VirtualSource>(config, numbered);
                             numbered += config.instruments;
                             return source;
                         });
}

std::unique_ptr<PortSet> createPortSetFromEnvironment()
{
    return createPortSetFromList(portListFromEnvironment());
}
} // namespace midi
