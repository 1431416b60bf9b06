#include "midi/WinMmInput.h"

#if JUCE_WINDOWS
#include "midi/SysexStream.h"
#include <atomic>
#include <mutex>
#include <set>
#include <vector>
#include <windows.h>

#include <mmsystem.h>

namespace midi
{
namespace
{
constexpr int kBuffers = 64;
constexpr int kBufferBytes = 1024;

class WinMmInputPort;

// The ports alive. A driver may call back after a port closed (Wine delivers
// its notices on a thread of its own); such a call finds the port gone here.
// Held during a callback, so a port's destructor waits for one in flight.
std::mutex& registryLock()
{
    static std::mutex lock;
    return lock;
}
std::set<WinMmInputPort*>& registry()
{
    static std::set<WinMmInputPort*> ports;
    return ports;
}

// The device id of the framework's input `index`: the framework lists, in
// device id order, the devices whose capabilities can be read.
int deviceIdOfListedInput(int index)
{
    int listed = 0;
    const UINT count = midiInGetNumDevs();
    for (UINT id = 0; id < count; ++id)
    {
        MIDIINCAPSW caps{};
        if (midiInGetDevCapsW(id, &caps, sizeof(caps)) != MMSYSERR_NOERROR)
            continue;
        if (listed++ == index)
            return (int)id;
    }
    return -1;
}

class WinMmInputPort final : public InputPort
{
public:
    WinMmInputPort(unsigned deviceId, juce::String portName, InputCallback* cb)
        : name(std::move(portName)), callback(cb), data((size_t)(kBuffers * kBufferBytes)), headers(kBuffers)
    {
        if (midiInOpen(&handle, deviceId, (DWORD_PTR)&WinMmInputPort::driverCallback, (DWORD_PTR)this,
                       CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        {
            handle = nullptr;
            return;
        }
        {
            const std::lock_guard<std::mutex> g(registryLock());
            registry().insert(this);
        }
        for (int i = 0; i < kBuffers; ++i)
        {
            auto& h = headers[(size_t)i];
            h = MIDIHDR{};
            h.lpData = reinterpret_cast<LPSTR>(data.data() + (size_t)i * kBufferBytes);
            h.dwBufferLength = kBufferBytes;
            if (midiInPrepareHeader(handle, &h, sizeof(h)) == MMSYSERR_NOERROR)
                midiInAddBuffer(handle, &h, sizeof(h));
        }
    }

    ~WinMmInputPort() override
    {
        if (handle == nullptr)
            return;
        {
            // Waits for a callback in flight; later ones find the port gone.
            const std::lock_guard<std::mutex> g(registryLock());
            registry().erase(this);
        }
        midiInStop(handle);
        midiInReset(handle); // every queued buffer comes back
        for (auto& h : headers)
            for (int tries = 0;
                 tries < 10 && midiInUnprepareHeader(handle, &h, sizeof(h)) == MIDIERR_STILLPLAYING; ++tries)
                Sleep(20);
        midiInClose(handle);
    }

    bool isOpen() const { return handle != nullptr; }
    juce::String getName() const override { return name; }

    void start() override
    {
        {
            const std::lock_guard<std::mutex> g(gate);
            active = true;
        }
        if (!started.exchange(true))
            midiInStart(handle);
    }

    void stop() override
    {
        // Waits for a callback in flight and keeps later ones out.
        const std::lock_guard<std::mutex> g(gate);
        active = false;
    }

private:
    static void CALLBACK driverCallback(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                        DWORD_PTR)
    {
        if (message != MIM_LONGDATA && message != MIM_LONGERROR)
            return; // only SysEx matters to the link
        const std::lock_guard<std::mutex> g(registryLock());
        auto* port = reinterpret_cast<WinMmInputPort*>(instance);
        if (registry().count(port) != 0)
            port->received(reinterpret_cast<MIDIHDR*>(param1));
    }

    // A buffer came back from the driver: its bytes go through the parser,
    // and the buffer goes straight back to the driver.
    void received(MIDIHDR* header)
    {
        {
            const std::lock_guard<std::mutex> g(gate);
            if (active && header->dwBytesRecorded > 0)
                parser.feed(reinterpret_cast<const juce::uint8*>(header->lpData), header->dwBytesRecorded,
                            [this](const juce::uint8* message, int size)
                            { callback->handleIncomingMidiMessage(this, message, size); });
        }
        header->dwBytesRecorded = 0;
        midiInAddBuffer(handle, header, sizeof(*header));
    }

    HMIDIIN handle = nullptr;
    const juce::String name;
    InputCallback* const callback;
    std::vector<juce::uint8> data;
    std::vector<MIDIHDR> headers;
    SysexStreamParser parser;
    std::mutex gate;
    bool active = false;
    std::atomic<bool> started{false};
};
} // namespace

std::unique_ptr<InputPort> openWinMmInput(int index, const juce::String& name, InputCallback* callback)
{
    const int deviceId = deviceIdOfListedInput(index);
    if (deviceId < 0)
        return nullptr;
    auto port = std::make_unique<WinMmInputPort>((unsigned)deviceId, name, callback);
    if (!port->isOpen())
        return nullptr;
    return port;
}
} // namespace midi
#endif
