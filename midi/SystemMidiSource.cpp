// The operating system's MIDI ports through JUCE (ALSA, WinMM, CoreMIDI).
#include "midi/DirectMidiOut.h"
#include "midi/MidiPorts.h"
#include <juce_audio_devices/juce_audio_devices.h>
#include <mutex>

namespace midi
{
namespace
{
class SystemInputPort : public InputPort, private juce::MidiInputCallback
{
public:
    SystemInputPort(const juce::MidiDeviceInfo& info, InputCallback* cb) : callback(cb)
    {
        device = juce::MidiInput::openDevice(info.identifier, this);
    }
    ~SystemInputPort() override { stop(); }

    bool isOpen() const { return device != nullptr; }
    juce::String getName() const override { return device != nullptr ? device->getName() : juce::String(); }

    void start() override
    {
        {
            const std::lock_guard<std::mutex> g(lock);
            active = true;
        }
        if (device != nullptr)
            device->start();
    }

    void stop() override
    {
        if (device != nullptr)
            device->stop();
        // Wait for a callback in flight and keep later ones out.
        const std::lock_guard<std::mutex> g(lock);
        active = false;
    }

private:
    void handleIncomingMidiMessage(juce::MidiInput*, const juce::MidiMessage& message) override
    {
        const std::lock_guard<std::mutex> g(lock);
        if (active && callback != nullptr)
            callback->handleIncomingMidiMessage(this, message.getRawData(), message.getRawDataSize());
    }

    std::unique_ptr<juce::MidiInput> device;
    InputCallback* callback;
    std::mutex lock;
    bool active = false;
};

class SystemOutputPort : public OutputPort
{
public:
    explicit SystemOutputPort(std::unique_ptr<juce::MidiOutput> d) : device(std::move(d)) {}
    juce::String getName() const override { return device->getName(); }
    bool sendMessageNow(const juce::uint8* data, int size) override
    {
        device->sendMessageNow(juce::MidiMessage(data, size));
        return true;
    }

private:
    std::unique_ptr<juce::MidiOutput> device;
};

class SystemSource : public Source
{
public:
    juce::StringArray inputNames() override
    {
        inputs = juce::MidiInput::getAvailableDevices();
        juce::StringArray names;
        for (auto& d : inputs)
            names.add(d.name);
        return names;
    }

    juce::StringArray outputNames() override
    {
        outputs = juce::MidiOutput::getAvailableDevices();
        juce::StringArray names;
        for (auto& d : outputs)
            names.add(d.name);
        return names;
    }

    std::unique_ptr<InputPort> openInput(int index, InputCallback* callback) override
    {
        if (index < 0 || index >= inputs.size())
            return nullptr;
        auto port = std::make_unique<SystemInputPort>(inputs[index], callback);
        if (!port->isOpen())
            return nullptr;
        return port;
    }

    std::unique_ptr<OutputPort> openOutput(int index) override
    {
        if (index < 0 || index >= outputs.size())
            return nullptr;
        auto device = juce::MidiOutput::openDevice(outputs[index].identifier);
        if (device == nullptr)
            return nullptr;
        return std::make_unique<SystemOutputPort>(std::move(device));
    }

#if JUCE_WINDOWS
    // Before any reply was seen the identify request goes straight through the
    // multimedia API, bypassing the framework's device handling.
    bool sendDirect(int index, const juce::uint8* data, int size) override
    {
        const auto& calls = currentMidiOutCalls();
        const int deviceId = deviceIdOfListedPort(calls, index);
        return deviceId >= 0 && sendDirectMidiOut(calls, (unsigned)deviceId, data, size);
    }
#endif

private:
    juce::Array<juce::MidiDeviceInfo> inputs, outputs;
};
} // namespace

std::unique_ptr<Source> createSystemSource()
{
    return std::make_unique<SystemSource>();
}
} // namespace midi
