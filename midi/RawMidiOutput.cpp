#include "midi/RawMidiOutput.h"
#include "midi/QueuedOutputPort.h"
#include <cerrno>
#include <cstring>
#include <thread>

namespace midi
{
namespace
{
// The kernel's client of a card gives each raw MIDI device 256 / 8 port numbers.
constexpr int kPortsPerDevice = 32;
constexpr int kDevicesPerCard = 8;
} // namespace

std::optional<juce::String> rawDeviceOfPort(const SequencerPortFacts& facts)
{
    if (!facts.kernelClient || facts.card < 0 || !facts.hardware || facts.port < 0 ||
        facts.port >= kPortsPerDevice * kDevicesPerCard)
        return std::nullopt;
    return "hw:" + juce::String(facts.card) + "," + juce::String(facts.port / kPortsPerDevice) + "," +
           juce::String(facts.port % kPortsPerDevice);
}

RawMidiOutputPort::RawMidiOutputPort(const RawMidiCalls& c, RawMidiCalls::Handle h, juce::String n, int stall,
                                     int step)
    : calls(c), handle(h), name(std::move(n)), stallMs(stall), stepMs(step)
{
}

RawMidiOutputPort::~RawMidiOutputPort()
{
    // Closing waits for the device to drain: what is left is dropped first.
    // A device that went away shows in the wait for room.
    if (!gone && calls.waitForRoom(handle, 0) >= 0 && calls.drop(handle) >= 0)
    {
        calls.close(handle);
        return;
    }
    std::thread([close = calls.close, h = handle] { close(h); }).detach();
}

bool RawMidiOutputPort::sendMessageNow(const juce::uint8* data, int size)
{
    if (data == nullptr || size <= 0)
        return false;
    int done = 0, waited = 0;
    while (done < size)
    {
        if (cancelled)
            return false;
        const long taken = calls.write(handle, data + done, (size_t)(size - done));
        if (taken > 0)
        {
            done += (int)taken;
            waited = 0;
            continue;
        }
        if (taken != 0 && taken != -EAGAIN)
        {
            gone = true; // the device failed: unplugged, say
            return false;
        }
        const int room = calls.waitForRoom(handle, stepMs);
        if (room < 0)
        {
            gone = true;
            return false;
        }
        if (room == 0 && (waited += stepMs) >= stallMs)
        {
            // The device takes nothing: what it holds of this message goes.
            calls.drop(handle);
            return false;
        }
    }
    return true;
}

std::unique_ptr<OutputPort> openRawMidiOutput(const RawMidiCalls& calls, const juce::String& device,
                                              const juce::String& name, int& error)
{
    RawMidiCalls::Handle handle = nullptr;
    error = calls.open(&handle, device.toRawUTF8());
    if (error < 0)
        return nullptr;
    return std::make_unique<QueuedOutputPort>(std::make_unique<RawMidiOutputPort>(calls, handle, name));
}

DirectSend sendRawMidiDirect(const RawMidiCalls& calls, const juce::String& device, const juce::uint8* data,
                             int size, int drainMs)
{
    RawMidiCalls::Handle handle = nullptr;
    if (calls.open(&handle, device.toRawUTF8()) < 0)
        return DirectSend::notOpened;
    constexpr int step = 5;
    // The request is short: it takes what room the device has at once.
    RawMidiOutputPort port(calls, handle, device, drainMs, step);
    if (!port.sendMessageNow(data, size))
        return DirectSend::failed;
    for (int waited = 0; waited < drainMs && calls.unsent(handle) > 0; waited += step)
        calls.sleep(step);
    return DirectSend::sent;
}

juce::String sequencerFallbackNotice(const juce::String& portName, const juce::String& device, int error)
{
    const juce::String why = error == -EBUSY
                                 ? juce::String("is held by another program")
                                 : "cannot be opened (" + juce::String(std::strerror(-error)) + ")";
    return "The raw MIDI device " + device + " of \"" + portName + "\" " + why +
           ": messages go through the sequencer, which may cut long ones. Close other music programs "
           "and connect again.";
}
} // namespace midi
