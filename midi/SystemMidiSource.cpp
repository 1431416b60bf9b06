// The operating system's MIDI ports through JUCE (ALSA, WinMM, CoreMIDI).
#include "midi/DirectMidiOut.h"
#include "midi/MidiPorts.h"
#include "midi/QueuedOutputPort.h"
#include "midi/RawMidiOutput.h"
#include "midi/WinMmInput.h"
#include <juce_audio_devices/juce_audio_devices.h>
#include <mutex>

namespace midi
{
namespace
{
// One opened input of the framework, with the gate its replies pass through.
// The gate is the framework's callback, so it lives as long as the input does.
struct GatedInput final : juce::MidiInputCallback
{
    void handleIncomingMidiMessage(juce::MidiInput*, const juce::MidiMessage& message) override
    {
        const std::lock_guard<std::mutex> g(lock);
        if (active && callback != nullptr)
            callback->handleIncomingMidiMessage(port, message.getRawData(), message.getRawDataSize());
    }

    std::mutex lock;
    bool active = false;
    InputCallback* callback = nullptr;
    InputPort* port = nullptr;
    // Declared last: the input goes first, so no reply reaches a gate that is gone.
    std::unique_ptr<juce::MidiInput> device;
};

#if JUCE_LINUX || JUCE_BSD
// The framework's ALSA inputs share one reader thread, started when the first
// input starts and only told to stop when the last one stops; it notices
// within its 100 ms poll. An input started while that thread is still winding
// down is never heard (the start finds the thread alive and leaves the stop
// request set). So an input here is started once, when it opens, and stopped
// only when it is deleted; stop() and start() only close and open its gate.
// The last input to close is kept open (gate shut) until another has started,
// so the reader thread never stops while inputs come and go between scans.
class InputKeeper final
{
public:
    static std::shared_ptr<InputKeeper> get()
    {
        static std::mutex instanceLock;
        static std::weak_ptr<InputKeeper> instance;
        const std::lock_guard<std::mutex> g(instanceLock);
        auto keeper = instance.lock();
        if (keeper == nullptr)
        {
            keeper = std::make_shared<InputKeeper>();
            instance = keeper;
        }
        return keeper;
    }

    // A new input has started: the one kept from before may go.
    void opened()
    {
        std::unique_ptr<GatedInput> old;
        const std::lock_guard<std::mutex> g(lock);
        ++live;
        old = std::move(kept);
    }

    // An input closes: the last one is kept instead of deleted.
    void closed(std::unique_ptr<GatedInput> input)
    {
        std::unique_ptr<GatedInput> old;
        const std::lock_guard<std::mutex> g(lock);
        if (--live == 0)
        {
            old = std::move(kept);
            kept = std::move(input);
        }
        else
            old = std::move(input);
    }

private:
    std::mutex lock;
    int live = 0;
    std::unique_ptr<GatedInput> kept;
};
constexpr bool kStartOnce = true;
#else
constexpr bool kStartOnce = false;
#endif

class SystemInputPort final : public InputPort
{
public:
    SystemInputPort(const juce::MidiDeviceInfo& info, InputCallback* cb)
        : input(std::make_unique<GatedInput>())
    {
        input->callback = cb;
        input->port = this;
        input->device = juce::MidiInput::openDevice(info.identifier, input.get());
        if (kStartOnce && input->device != nullptr)
        {
#if JUCE_LINUX || JUCE_BSD
            keeper = InputKeeper::get();
            input->device->start();
            keeper->opened();
#endif
        }
    }

    ~SystemInputPort() override
    {
        stop();
#if JUCE_LINUX || JUCE_BSD
        if (keeper != nullptr)
            keeper->closed(std::move(input));
#endif
    }

    bool isOpen() const
    {
        return input->device != nullptr;
    }
    juce::String getName() const override
    {
        return isOpen() ? input->device->getName() : juce::String();
    }

    void start() override
    {
        {
            const std::lock_guard<std::mutex> g(input->lock);
            input->active = true;
        }
        if (!kStartOnce && isOpen())
            input->device->start();
    }

    void stop() override
    {
        if (input == nullptr)
            return;
        if (!kStartOnce && isOpen())
            input->device->stop();
        // Waits for a callback in flight and keeps later ones out.
        const std::lock_guard<std::mutex> g(input->lock);
        input->active = false;
    }

private:
    std::unique_ptr<GatedInput> input;
#if JUCE_LINUX || JUCE_BSD
    std::shared_ptr<InputKeeper> keeper;
#endif
};

class SystemOutputPort final : public OutputPort
{
public:
    SystemOutputPort(std::unique_ptr<juce::MidiOutput> d, juce::String n)
        : device(std::move(d)), noticeText(std::move(n))
    {
    }
    juce::String getName() const override { return device->getName(); }
    juce::String notice() const override { return noticeText; }
    bool sendMessageNow(const juce::uint8* data, int size) override
    {
        device->sendMessageNow(juce::MidiMessage(data, size));
        return true;
    }

private:
    std::unique_ptr<juce::MidiOutput> device;
    const juce::String noticeText;
};

// The raw MIDI device that messages to the port `info` are written to (a
// sound card's hardware port on Linux); nothing when the sequencer (or the
// system's own MIDI elsewhere) takes them whole.
std::optional<juce::String> rawDeviceOf(const juce::MidiDeviceInfo& info)
{
    if (systemRawMidiCalls() == nullptr)
        return std::nullopt;
    const auto facts = systemSequencerPort(info.identifier);
    return facts ? rawDeviceOfPort(*facts) : std::nullopt;
}

class SystemSource final : public Source
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
#if JUCE_WINDOWS
        return openWinMmInput(index, inputs[index].name, callback);
#endif
        auto port = std::make_unique<SystemInputPort>(inputs[index], callback);
        if (!port->isOpen())
            return nullptr;
        return port;
    }

    std::unique_ptr<OutputPort> openOutput(int index) override
    {
        if (index < 0 || index >= outputs.size())
            return nullptr;
#if JUCE_WINDOWS
        // The multimedia API directly, as for inputs: the framework's send
        // waits in the caller, without a limit, until the driver has sent
        // the message.
        return openWinMmOutput(currentMidiOutCalls(), index, outputs[index].name);
#endif
        juce::String notice;
        if (const auto raw = rawDeviceOf(outputs[index]))
        {
            int error = 0;
            if (auto port = openRawMidiOutput(*systemRawMidiCalls(), *raw, outputs[index].name, error))
                return port;
            notice = sequencerFallbackNotice(outputs[index].name, *raw, error);
        }
        auto device = juce::MidiOutput::openDevice(outputs[index].identifier);
        if (device == nullptr)
            return nullptr;
        // The framework's send may wait for the system too: never in the caller.
        return std::make_unique<QueuedOutputPort>(
            std::make_unique<SystemOutputPort>(std::move(device), notice));
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
#else
    // A card's port gets the request through its raw device, as every other
    // message; the rest as the framework sends it.
    bool sendDirect(int index, const juce::uint8* data, int size) override
    {
        if (index >= 0 && index < outputs.size())
            if (const auto raw = rawDeviceOf(outputs[index]))
            {
                const auto sent = sendRawMidiDirect(*systemRawMidiCalls(), *raw, data, size);
                if (sent != DirectSend::notOpened)
                    return sent == DirectSend::sent;
            }
        return Source::sendDirect(index, data, size);
    }
#endif

private:
    juce::Array<juce::MidiDeviceInfo> inputs, outputs;
#if JUCE_LINUX || JUCE_BSD
    // Holds the input kept between scans for as long as the source lives.
    std::shared_ptr<InputKeeper> keeper = InputKeeper::get();
#endif
};
} // namespace

std::unique_ptr<Source> createSystemSource()
{
    return std::make_unique<SystemSource>();
}
} // namespace midi
