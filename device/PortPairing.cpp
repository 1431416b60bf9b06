#include "device/PortPairing.h"
#include "device/SysexCodec.h"

namespace
{
const juce::String excludedPortPrefix = "Creative Sound Blaster";

// Ports are stopped and deleted outside the lock, when this goes.
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

PortPairing::PortPairing(midi::PortSet& p, midi::InputCallback& c, std::mutex& l, Owner& o, int quietPeriodMs)
    : ports(p), callback(c), linkLock(l), owner(o), quietMs(quietPeriodMs)
{
}

PortPairing::~PortPairing()
{
    closeUnpairedPorts();
    PortsToClose closing;
    const std::lock_guard<std::mutex> g(linkLock);
    closing.outputs.push_back(std::move(pairedOutputOwner));
    closing.inputs.push_back(std::move(pairedInputOwner));
    pairedInput = nullptr;
    pairedOutput = nullptr;
}

bool PortPairing::isExcludedPortName(const juce::String& name)
{
    return name.substring(0, excludedPortPrefix.length()).equalsIgnoreCase(excludedPortPrefix);
}

void PortPairing::restartScan(bool quietly)
{
    scanCount = quietly ? kMaxScans : 0;
    quiet = quietly;
    {
        const std::lock_guard<std::mutex> g(linkLock);
        identifyReplySeen = false;
    }
    scanPorts();
}

// A scan always drops the current connection (and anything a previous scan left open).
void PortPairing::dropPorts()
{
    PortsToClose closing;
    const std::lock_guard<std::mutex> g(linkLock);
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
    armed = false;
}

void PortPairing::scanPorts()
{
    const auto inputNames = ports.inputNames();
    const auto outputNames = ports.outputNames();
    {
        const std::lock_guard<std::mutex> g(linkLock);
        deviceFound = false;
        twoDevicesPosted = false;
        answeredThisScan = false;
        pairedIndex = -1;
        inputCount = inputNames.size();
        outputCount = outputNames.size();
    }
    dropPorts();
    if (!quiet)
    {
        owner.postEvent(EvConnectButton{false});
        owner.postEvent(EvScanStarted{});
    }

    // The first scan after a restart opens no input.
    if (scanCount > 0)
        openInputs(inputNames);

    bool replySeen;
    {
        const std::lock_guard<std::mutex> g(linkLock);
        armed = true;
        replySeen = identifyReplySeen;
    }
    sendIdentifyRequests(outputNames, replySeen);
    owner.startScanTicks(quiet ? quietMs : scanMs);
}

void PortPairing::openInputs(const juce::StringArray& names)
{
    std::vector<std::unique_ptr<midi::InputPort>> opened((size_t)inputCount);
    for (int i = 0; i < inputCount; ++i)
    {
        if (isExcludedPortName(names[i]))
            continue;
        auto first = ports.openInput(i, &callback);
        if (first == nullptr)
            continue;
        // Opening twice clears a port some drivers leave half-started.
        first->start();
        first->stop();
        first.reset();
        opened[(size_t)i] = ports.openInput(i, &callback);
    }
    {
        const std::lock_guard<std::mutex> g(linkLock);
        inputs = std::move(opened);
    }
    for (auto& in : inputs)
        if (in != nullptr)
            in->start();
}

void PortPairing::sendIdentifyRequests(const juce::StringArray& names, bool replySeen)
{
    juce::uint8 request[16];
    const int requestSize = sysex::buildIdentify(request, 0);
    for (int i = 0; i < outputCount; ++i)
    {
        if (isExcludedPortName(names[i]) || !isChosen(chosenPort, i, names[i]))
            continue;
        request[6] = (juce::uint8)(i & 0x7F);
        owner.sending(request, requestSize);
        if (!replySeen)
        {
            // No reply seen yet: send straight to the port without keeping it open.
            ports.sendDirect(i, request, requestSize);
            continue;
        }
        auto out = ports.openOutput(i);
        if (out == nullptr || out->getName().isEmpty())
            continue;
        midi::OutputPort* port = out.get();
        {
            const std::lock_guard<std::mutex> g(linkLock);
            outputs[(size_t)i] = std::move(out);
        }
        port->sendMessageNow(request, requestSize);
    }
}

bool PortPairing::isChosen(const juce::String& choice, int index, const juce::String& name)
{
    if (choice.isEmpty())
        return true;
    if (choice.containsOnly("0123456789") && choice.length() <= 6)
        return choice.getIntValue() == index;
    return choice == name;
}

void PortPairing::closeUnpairedPorts()
{
    PortsToClose closing;
    const std::lock_guard<std::mutex> g(linkLock);
    armed = false;
    // The paired port is kept; every other one goes to be closed.
    auto sortOut = [](auto& open, const auto* paired, auto& keep, auto& toClose)
    {
        for (auto& port : open)
        {
            if (port != nullptr && port.get() == paired)
                keep = std::move(port);
            else
                toClose.push_back(std::move(port));
        }
        open.clear();
    };
    sortOut(inputs, pairedInput, pairedInputOwner, closing.inputs);
    sortOut(outputs, pairedOutput, pairedOutputOwner, closing.outputs);
}

void PortPairing::onScanTick()
{
    owner.stopTicks();
    closeUnpairedPorts();
    bool found, full;
    {
        const std::lock_guard<std::mutex> g(linkLock);
        found = deviceFound;
        full = speedFull;
    }
    if (found)
    {
        quiet = false;
        owner.postEvent(EvDeviceFound{full});
        owner.postEvent(EvConnectButton{true});
        return;
    }
    if (scanCount < kMaxScans)
    {
        ++scanCount;
        scanPorts();
        return;
    }
    if (!quiet)
        owner.postEvent(EvNoDevice{});
    // Nothing found: the scan goes on quietly, slower, and at the ordinary
    // pace again once something answers (the pairing takes a few scans).
    bool replySeen;
    {
        const std::lock_guard<std::mutex> g(linkLock);
        replySeen = answeredThisScan;
    }
    quiet = !replySeen;
    if (replySeen)
        scanCount = 1;
    scanPorts();
}

void PortPairing::onIdentifyReply(midi::InputPort* source, const juce::uint8* data, int length)
{
    // Any reply shows that the instrument answers: later scans send through
    // kept-open outputs.
    identifyReplySeen = true;
    answeredThisScan = true;
    if (!armed)
    {
        owner.unexpectedIdentifyReply();
        return;
    }
    const int index = data[5];
    midi::OutputPort* candidate = nullptr;
    if (index < outputCount)
        candidate = index < (int)outputs.size() ? outputs[(size_t)index].get() : nullptr;
    if (source == nullptr || candidate == nullptr)
        return;
    if (deviceFound)
    {
        // The paired instrument answering again is a repeat, not a second
        // instrument; a real second one is reported once per scan, however
        // often it answers.
        if (source == pairedInput && index == pairedIndex)
            return;
        if (!twoDevicesPosted)
        {
            twoDevicesPosted = true;
            owner.postEvent(EvTwoDevices{});
        }
        return;
    }
    // The link speed is the paired instrument's own, never another's.
    speedFull = length >= 7 && data[6] == sysex::kFullSpeedMode;
    pairedInput = source;
    pairedOutput = candidate;
    pairedIndex = index;
    deviceFound = true;
}
