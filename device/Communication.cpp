#include "device/Communication.h"

namespace
{
const juce::String excludedPortPrefix = "Creative Sound Blaster";

// Ports are stopped and deleted outside the link's lock: stopping an input
// waits for a callback in flight, and that callback may be waiting for the lock.
struct PortsToClose
{
    std::vector<std::unique_ptr<midi::InputPort>> inputs;
    std::vector<std::unique_ptr<midi::OutputPort>> outputs;

    ~PortsToClose()
    {
        for (auto& in : inputs)
            if (in != nullptr)
                in->stop();
        inputs.clear();
        outputs.clear();
    }
};
} // namespace

Communication::Communication(CLogOutput* logSink, juce::MessageListener* receiver, midi::PortSet& portSet,
                             TickPeriods tickPeriods)
    : log(logSink), listener(receiver), ports(portSet), periods(tickPeriods)
{
}

Communication::~Communication()
{
    disarmTimer();
    closeUnpairedPorts();
    PortsToClose closing;
    {
        const std::lock_guard<std::mutex> g(lock);
        closing.outputs.push_back(std::move(pairedOutputOwner));
        closing.inputs.push_back(std::move(pairedInputOwner));
        pairedInput = nullptr;
        pairedOutput = nullptr;
    }
}

bool Communication::isExcludedPortName(const juce::String& name)
{
    return name.substring(0, excludedPortPrefix.length()).equalsIgnoreCase(excludedPortPrefix);
}

void Communication::armTimer(int periodMs)
{
    tickPeriod = periodMs;
    if (!periods.manualTicks)
        startTimer(periodMs);
}

void Communication::disarmTimer()
{
    tickPeriod = 0;
    stopTimer();
}

void Communication::restartScan()
{
    scanCount = 0;
    {
        const std::lock_guard<std::mutex> g(lock);
        identifyReplySeen = false;
    }
    scanPorts();
}

void Communication::scanPorts()
{
    {
        const std::lock_guard<std::mutex> g(lock);
        deviceFound = false;
    }
    const auto inputNames = ports.inputNames();
    const auto outputNames = ports.outputNames();

    {
        // A scan always drops the current connection (and anything a previous
        // scan left open).
        PortsToClose closing;
        const std::lock_guard<std::mutex> g(lock);
        inputCount = inputNames.size();
        outputCount = outputNames.size();
        closing.outputs.push_back(std::move(pairedOutputOwner));
        closing.inputs.push_back(std::move(pairedInputOwner));
        pairedInput = nullptr;
        pairedOutput = nullptr;
        for (auto& in : inputs)
            closing.inputs.push_back(std::move(in));
        for (auto& out : outputs)
            closing.outputs.push_back(std::move(out));
        inputs.clear();
        outputs.clear();
        outputs.resize((size_t)outputCount);
        scanArmed = false;
    }

    post(EvConnectButton, 0);
    post(EvScanStarted);

    if (scanCount > 0)
    {
        std::vector<std::unique_ptr<midi::InputPort>> opened((size_t)inputCount);
        for (int i = 0; i < inputCount; ++i)
        {
            if (isExcludedPortName(inputNames[i]))
                continue;
            auto first = ports.openInput(i, this);
            if (first == nullptr)
                continue;
            // Opening twice clears a port some drivers leave half-started.
            first->start();
            first->stop();
            first.reset();
            opened[(size_t)i] = ports.openInput(i, this);
        }
        {
            const std::lock_guard<std::mutex> g(lock);
            inputs = std::move(opened);
        }
        for (auto& in : inputs)
            if (in != nullptr)
                in->start();
    }

    bool replySeen;
    {
        const std::lock_guard<std::mutex> g(lock);
        scanArmed = true;
        replySeen = identifyReplySeen;
    }
    juce::uint8 request[16];
    const int requestSize = sysex::buildIdentify(request, 0);

    for (int i = 0; i < outputCount; ++i)
    {
        if (isExcludedPortName(outputNames[i]))
            continue;
        request[6] = (juce::uint8)(i & 0x7F);
        if (replySeen)
        {
            auto out = ports.openOutput(i);
            if (out == nullptr || out->getName().isEmpty())
                continue;
            midi::OutputPort* port = out.get();
            {
                const std::lock_guard<std::mutex> g(lock);
                outputs[(size_t)i] = std::move(out);
            }
            port->sendMessageNow(request, requestSize);
        }
        else
        {
            // No reply seen yet: send straight to the port without keeping it open.
            ports.sendDirect(i, request, requestSize);
        }
    }
    armTimer(periods.scanMs);
}

void Communication::closeUnpairedPorts()
{
    PortsToClose closing;
    const std::lock_guard<std::mutex> g(lock);
    scanArmed = false;
    for (auto& in : inputs)
    {
        if (in != nullptr && in.get() == pairedInput)
            pairedInputOwner = std::move(in);
        else
            closing.inputs.push_back(std::move(in));
    }
    inputs.clear();
    for (auto& out : outputs)
    {
        if (out != nullptr && out.get() == pairedOutput)
            pairedOutputOwner = std::move(out);
        else
            closing.outputs.push_back(std::move(out));
    }
    outputs.clear();
}

void Communication::timerCallback()
{
    bool scanning;
    {
        const std::lock_guard<std::mutex> g(lock);
        scanning = scanArmed;
    }
    if (!scanning)
        return;

    disarmTimer();
    closeUnpairedPorts();
    bool found, full;
    {
        const std::lock_guard<std::mutex> g(lock);
        found = deviceFound;
        full = fullSpeed;
    }
    if (found)
    {
        post(EvDeviceFound, full ? 1 : 0);
        post(EvConnectButton, 1);
        return;
    }
    if (scanCount < kMaxScans)
    {
        ++scanCount;
        scanPorts();
        return;
    }
    post(EvNoDevice);
}

void Communication::handleIncomingMidiMessage(midi::InputPort* source, const juce::uint8* message, int size)
{
    sysex::Incoming in;
    if (!sysex::accept(message, size, in))
        return;
    const std::lock_guard<std::mutex> g(lock);
    switch (in.command)
    {
    case sysex::CmdIdentifyReply:
        handleIdentifyReply(source, in.data, in.length);
        identifyReplySeen = true;
        break;
    default:
        break;
    }
}

// Called with the lock held.
void Communication::handleIdentifyReply(midi::InputPort* source, const juce::uint8* data, int length)
{
    if (!scanArmed)
        return;
    const int index = data[5];
    midi::OutputPort* candidate = nullptr;
    if (index < outputCount)
    {
        candidate = index < (int)outputs.size() ? outputs[(size_t)index].get() : nullptr;
        fullSpeed = length >= 7 && data[6] == sysex::kFullSpeedMode;
    }
    if (source == nullptr || candidate == nullptr)
        return;
    if (deviceFound)
    {
        post(EvTwoDevices);
        return;
    }
    pairedInput = source;
    pairedOutput = candidate;
    deviceFound = true;
}

bool Communication::isFullSpeed() const
{
    const std::lock_guard<std::mutex> g(lock);
    return fullSpeed;
}

bool Communication::isPaired() const
{
    const std::lock_guard<std::mutex> g(lock);
    return pairedInput != nullptr && pairedOutput != nullptr;
}

bool Communication::isScanArmed() const
{
    const std::lock_guard<std::mutex> g(lock);
    return scanArmed;
}

juce::String Communication::pairedOutputName() const
{
    const std::lock_guard<std::mutex> g(lock);
    return pairedOutput != nullptr ? pairedOutput->getName() : juce::String();
}
