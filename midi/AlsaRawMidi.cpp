// The system's side of the raw MIDI output on Linux: ALSA's raw MIDI calls
// and what the sequencer tells of a port.
#include "midi/RawMidiOutput.h"

#if JUCE_LINUX || JUCE_BSD
#include <alsa/asoundlib.h>
#include <poll.h>

namespace midi
{
namespace
{
snd_rawmidi_t* raw(RawMidiCalls::Handle h)
{
    return static_cast<snd_rawmidi_t*>(h);
}

const RawMidiCalls alsaCalls{
    [](RawMidiCalls::Handle* handle, const char* device) -> int
    {
        snd_rawmidi_t* out = nullptr;
        const int r = snd_rawmidi_open(nullptr, &out, device, SND_RAWMIDI_NONBLOCK);
        *handle = out;
        return r < 0 ? r : 0;
    },
    [](RawMidiCalls::Handle h, const juce::uint8* data, size_t size) -> long
    { return (long)snd_rawmidi_write(raw(h), data, size); },
    [](RawMidiCalls::Handle h, int timeoutMs) -> int
    {
        pollfd fds[4];
        const int count = snd_rawmidi_poll_descriptors(raw(h), fds, 4);
        if (count <= 0)
            return -ENODEV;
        const int ready = poll(fds, (nfds_t)count, timeoutMs);
        if (ready < 0)
            return errno == EINTR ? 0 : -errno;
        if (ready == 0)
            return 0;
        unsigned short events = 0;
        snd_rawmidi_poll_descriptors_revents(raw(h), fds, (unsigned)count, &events);
        if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            return -ENODEV; // the card went away
        return (events & POLLOUT) != 0 ? 1 : 0;
    },
    [](RawMidiCalls::Handle h) -> int
    {
        snd_rawmidi_status_t* status = nullptr;
        snd_rawmidi_params_t* params = nullptr;
        snd_rawmidi_status_alloca(&status);
        snd_rawmidi_params_alloca(&params);
        int r = snd_rawmidi_status(raw(h), status);
        if (r >= 0)
            r = snd_rawmidi_params_current(raw(h), params);
        if (r < 0)
            return r;
        return (int)(snd_rawmidi_params_get_buffer_size(params) - snd_rawmidi_status_get_avail(status));
    },
    [](RawMidiCalls::Handle h) -> int { return snd_rawmidi_drop(raw(h)); },
    [](RawMidiCalls::Handle h) { snd_rawmidi_close(raw(h)); },
    [](int ms) { juce::Thread::sleep(ms); },
};
} // namespace

const RawMidiCalls* systemRawMidiCalls()
{
    return &alsaCalls;
}

std::optional<SequencerPortFacts> systemSequencerPort(const juce::String& identifier)
{
    const auto clientText = identifier.upToFirstOccurrenceOf("-", false, false);
    const auto portText = identifier.fromFirstOccurrenceOf("-", false, false);
    if (clientText.isEmpty() || portText.isEmpty() || !clientText.containsOnly("0123456789") ||
        !portText.containsOnly("0123456789") || clientText.length() > 3 || portText.length() > 3)
        return std::nullopt;
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK) < 0)
        return std::nullopt;
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    std::optional<SequencerPortFacts> facts;
    const int clientId = clientText.getIntValue(), portId = portText.getIntValue();
    if (snd_seq_get_any_client_info(seq, clientId, client) >= 0 &&
        snd_seq_get_any_port_info(seq, clientId, portId, port) >= 0)
    {
        facts = SequencerPortFacts{};
        facts->kernelClient = snd_seq_client_info_get_type(client) == SND_SEQ_KERNEL_CLIENT;
        facts->card = snd_seq_client_info_get_card(client);
        facts->hardware = (snd_seq_port_info_get_type(port) & SND_SEQ_PORT_TYPE_HARDWARE) != 0;
        facts->port = portId;
    }
    snd_seq_close(seq);
    return facts;
}
} // namespace midi
#else
namespace midi
{
const RawMidiCalls* systemRawMidiCalls()
{
    return nullptr;
}

std::optional<SequencerPortFacts> systemSequencerPort(const juce::String&)
{
    return std::nullopt;
}
} // namespace midi
#endif
