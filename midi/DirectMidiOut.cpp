#include "midi/DirectMidiOut.h"
#include "midi/QueuedOutputPort.h"
#include <atomic>
#include <vector>

#if JUCE_WINDOWS
#include <windows.h>
// The multimedia header needs the types of <windows.h> first.
#include <mmsystem.h>
#endif

namespace midi
{
namespace
{
// A 9-byte request normally; 1 ms each, then the device is reset.
constexpr int kUnprepareTries = 100;
} // namespace

int deviceIdOfListedPort(const MidiOutCalls& calls, int index)
{
    if (index < 0)
        return -1;
    const unsigned count = calls.getNumDevs();
    int listed = 0;
    for (unsigned id = 0; id < count && id <= 0x7FFFFFFF; ++id)
        if (calls.getDevCaps(id) == MidiOutCalls::kOk && listed++ == index)
            return (int)id;
    return -1;
}

LongMessage sendLongMessage(const MidiOutCalls& calls, MidiOutCalls::Handle handle,
                            MidiOutCalls::Header& header, int limitMs, const std::atomic<bool>* cancelled)
{
    if (calls.prepareHeader(handle, &header) != MidiOutCalls::kOk)
        return LongMessage::refused;
    const bool taken = calls.longMsg(handle, &header) == MidiOutCalls::kOk;
    unsigned result = calls.unprepareHeader(handle, &header);
    for (int waited = 0; result == MidiOutCalls::kStillPlaying && waited < limitMs &&
                         (cancelled == nullptr || !cancelled->load());
         ++waited)
    {
        calls.sleep(1);
        result = calls.unprepareHeader(handle, &header);
    }
    if (result == MidiOutCalls::kStillPlaying)
    {
        // A driver that never finishes: take the buffer back by force, so
        // it is not freed while the driver still reads it.
        calls.reset(handle);
        calls.unprepareHeader(handle, &header);
        return taken ? LongMessage::cutShort : LongMessage::refused;
    }
    return taken ? LongMessage::sent : LongMessage::refused;
}

bool sendDirectMidiOut(const MidiOutCalls& calls, unsigned deviceId, const juce::uint8* data, int size)
{
    if (data == nullptr || size <= 0)
        return false;
    MidiOutCalls::Handle handle = 0;
    if (calls.open(&handle, deviceId) != MidiOutCalls::kOk)
        return false;

    std::vector<char> copy(data, data + size);
    MidiOutCalls::Header header;
    header.data = copy.data();
    header.length = (unsigned)size;
    // A request the driver took counts as sent, even when it was reset.
    const bool sent = sendLongMessage(calls, handle, header, kUnprepareTries) != LongMessage::refused;
    calls.close(handle);
    return sent;
}

namespace
{
class WinMmOutputPort final : public OutputPort
{
public:
    static constexpr int kCapacity = 64 * 1024;

    WinMmOutputPort(const MidiOutCalls& c, MidiOutCalls::Handle h, juce::String n, int limit)
        : calls(c), handle(h), name(std::move(n)), limitMs(limit), buffer((size_t)kCapacity)
    {
    }

    ~WinMmOutputPort() override
    {
        calls.reset(handle);
        calls.close(handle);
    }

    juce::String getName() const override { return name; }

    // The thread of the queue in front of it: one message at a time.
    bool sendMessageNow(const juce::uint8* data, int size) override
    {
        if (data == nullptr || size <= 0 || size > kCapacity || cancelled)
            return false;
        std::copy(data, data + size, buffer.get());
        MidiOutCalls::Header header;
        header.data = buffer.get();
        header.length = (unsigned)size;
        return sendLongMessage(calls, handle, header, limitMs, &cancelled) == LongMessage::sent;
    }

    void cancelSends() override { cancelled = true; }

private:
    const MidiOutCalls& calls;
    const MidiOutCalls::Handle handle;
    const juce::String name;
    const int limitMs;
    juce::HeapBlock<char> buffer;
    std::atomic<bool> cancelled{false};
};
} // namespace

std::unique_ptr<OutputPort> openWinMmOutput(const MidiOutCalls& calls, int index, const juce::String& name,
                                            int limitMs)
{
    const int deviceId = deviceIdOfListedPort(calls, index);
    MidiOutCalls::Handle handle = 0;
    if (deviceId < 0 || calls.open(&handle, (unsigned)deviceId) != MidiOutCalls::kOk)
        return nullptr;
    return std::make_unique<QueuedOutputPort>(
        std::make_unique<WinMmOutputPort>(calls, handle, name, limitMs));
}

#if JUCE_WINDOWS
namespace
{
static_assert(sizeof(MIDIHDR) <= sizeof(MidiOutCalls::Header::system), "MIDIHDR does not fit the header");
static_assert(MidiOutCalls::kStillPlaying == MIDIERR_STILLPLAYING, "result code differs from the API's");

HMIDIOUT toHandle(MidiOutCalls::Handle h)
{
    return reinterpret_cast<HMIDIOUT>(h);
}

MIDIHDR* systemHeader(MidiOutCalls::Header* header)
{
    return reinterpret_cast<MIDIHDR*>(header->system);
}

const MidiOutCalls systemCalls{
    []() -> unsigned { return midiOutGetNumDevs(); },
    [](unsigned deviceId) -> unsigned
    {
        MIDIOUTCAPSW caps{};
        return midiOutGetDevCapsW(deviceId, &caps, sizeof(caps));
    },
    [](MidiOutCalls::Handle* handle, unsigned deviceId) -> unsigned
    {
        HMIDIOUT h = nullptr;
        const MMRESULT r = midiOutOpen(&h, deviceId, 0, 0, CALLBACK_NULL);
        *handle = reinterpret_cast<MidiOutCalls::Handle>(h);
        return r;
    },
    [](MidiOutCalls::Handle handle, MidiOutCalls::Header* header) -> unsigned
    {
        MIDIHDR* h = systemHeader(header);
        *h = MIDIHDR{};
        h->lpData = header->data;
        h->dwBufferLength = header->length;
        h->dwBytesRecorded = header->length;
        return midiOutPrepareHeader(toHandle(handle), h, sizeof(MIDIHDR));
    },
    [](MidiOutCalls::Handle handle, MidiOutCalls::Header* header) -> unsigned
    { return midiOutLongMsg(toHandle(handle), systemHeader(header), sizeof(MIDIHDR)); },
    [](MidiOutCalls::Handle handle, MidiOutCalls::Header* header) -> unsigned
    { return midiOutUnprepareHeader(toHandle(handle), systemHeader(header), sizeof(MIDIHDR)); },
    [](MidiOutCalls::Handle handle) -> unsigned { return midiOutReset(toHandle(handle)); },
    [](MidiOutCalls::Handle handle) -> unsigned { return midiOutClose(toHandle(handle)); },
    [](int ms) { Sleep((DWORD)ms); },
};

std::atomic<const MidiOutCalls*> replacement{nullptr};
} // namespace

const MidiOutCalls& currentMidiOutCalls()
{
    const auto* calls = replacement.load();
    return calls != nullptr ? *calls : systemCalls;
}

void setMidiOutCallsForTests(const MidiOutCalls* calls)
{
    replacement.store(calls);
}
#endif
} // namespace midi
