#pragma once
#include "virtual-piano/ThreadedPiano.h"
#include <atomic>
#include <functional>
#include <thread>

namespace vp
{
// Serves an emulated instrument through a raw MIDI device of this computer
// (Linux): a USB gadget's MIDI function, or a serial MIDI port. Host messages
// are read from the device and queued to the instrument; its replies are
// written back, waiting for the device to take them. When the device goes
// away (the USB cable pulled: the gadget's card is removed) the instrument
// keeps its state, and the device is opened again as soon as it is back.
class RawMidiPiano final
{
public:
    // Says which device to open, "hw:CARD,DEVICE,SUBDEVICE" (or any name raw
    // MIDI takes); empty while there is none yet. Called on the serving thread
    // before every open, so a gadget can find its card again.
    using DeviceFinder = std::function<juce::String()>;

    RawMidiPiano(ThreadedPiano& piano, DeviceFinder finder);
    ~RawMidiPiano();

    // Opens the device once and starts serving; false, with why, when it
    // cannot be opened now.
    bool start(juce::String& problem);
    void stop();
    // Whether the device is open now (not while it is away).
    bool isOpen() const { return open.load(); }

private:
    struct Device;
    void serve();
    void deliver(const juce::uint8* data, int size);
    bool openDevice(juce::String* problem);
    void closeDevice();

    ThreadedPiano& piano;
    DeviceFinder finder;
    std::unique_ptr<Device> device;
    std::mutex deviceLock; // the handles: opened, written to and closed under it
    std::atomic<bool> running{false}, open{false};
    std::thread server;
};
} // namespace vp
