#include "virtual-piano/RawMidiPiano.h"
#include "device/SysexCodec.h"
#include "midi/SysexStream.h"
#include <iostream>

#if JUCE_LINUX || JUCE_BSD
#include <alsa/asoundlib.h>
#include <poll.h>
#endif

namespace vp
{
namespace
{
constexpr int kReopenMs = 100;      // how often a device that went away is looked for
constexpr int kPollMs = 100;        // the longest wait for host bytes
constexpr int kLookMs = 500;        // how often the finder looks again while the device is open
constexpr int kReplyStallMs = 2000; // a reply the device takes nothing of for this long is dropped
constexpr size_t kInputBufferBytes = 64 * 1024;
} // namespace

#if JUCE_LINUX || JUCE_BSD
struct RawMidiPiano::Device
{
    snd_rawmidi_t* in = nullptr;
    snd_rawmidi_t* out = nullptr;
    juce::String name;
};

namespace
{
// Waits up to `ms` for the handle to be ready; -1 when it failed (gone).
int waitReady(snd_rawmidi_t* h, short events, int ms)
{
    pollfd fds[4];
    const int count = snd_rawmidi_poll_descriptors(h, fds, 4);
    if (count <= 0)
        return -1;
    for (int i = 0; i < count; ++i)
        fds[i].events = events;
    const int ready = poll(fds, (nfds_t)count, ms);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    if (ready == 0)
        return 0;
    unsigned short revents = 0;
    snd_rawmidi_poll_descriptors_revents(h, fds, (unsigned)count, &revents);
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
        return -1;
    return (revents & events) != 0 ? 1 : 0;
}
} // namespace

bool RawMidiPiano::openDevice(juce::String* problem)
{
    const auto name = finder();
    if (name.isEmpty())
    {
        if (problem != nullptr)
            *problem = "no raw MIDI device to serve";
        return false;
    }
    auto d = std::make_unique<Device>();
    d->name = name;
    const int r = snd_rawmidi_open(&d->in, &d->out, name.toRawUTF8(), SND_RAWMIDI_NONBLOCK);
    if (r < 0)
    {
        if (problem != nullptr)
            *problem = "cannot open " + name + ": " + snd_strerror(r);
        return false;
    }
    // A real instrument takes the USB packets as they come; the kernel's
    // buffer on this side (a page by default) is made to hold several whole
    // messages, so that a busy moment of this program loses nothing.
    snd_rawmidi_params_t* params = nullptr;
    snd_rawmidi_params_alloca(&params);
    if (snd_rawmidi_params_current(d->in, params) >= 0 &&
        snd_rawmidi_params_set_buffer_size(d->in, params, kInputBufferBytes) >= 0)
        snd_rawmidi_params(d->in, params);
    const std::lock_guard<std::mutex> g(deviceLock);
    device = std::move(d);
    open = true;
    return true;
}

void RawMidiPiano::closeDevice()
{
    const std::lock_guard<std::mutex> g(deviceLock);
    open = false;
    if (device == nullptr)
        return;
    // What the host has not read goes: closing would wait for it.
    snd_rawmidi_drop(device->out);
    snd_rawmidi_close(device->in);
    snd_rawmidi_close(device->out);
    device.reset();
}

// The instrument's thread: the reply leaves whole, or not at all once the
// device is gone or takes nothing for a while (nobody reads the host side).
void RawMidiPiano::deliver(const juce::uint8* data, int size)
{
    const std::lock_guard<std::mutex> g(deviceLock);
    if (device == nullptr)
        return;
    int done = 0, waited = 0;
    while (done < size && running)
    {
        const auto n = snd_rawmidi_write(device->out, data + done, (size_t)(size - done));
        if (n > 0)
        {
            done += (int)n;
            waited = 0;
            continue;
        }
        if (n != -EAGAIN)
            return; // gone: the serving thread notices it on its side
        const int ready = waitReady(device->out, POLLOUT, 50);
        if (ready < 0 || (ready == 0 && (waited += 50) >= kReplyStallMs))
        {
            if (ready == 0)
                std::cout << "virtual-piano: the host took nothing of a reply for " << kReplyStallMs
                          << " ms: " << size - done << " of its " << size << " bytes dropped" << std::endl;
            snd_rawmidi_drop(device->out);
            return;
        }
    }
}

namespace
{
// Bytes the kernel dropped because this side did not read in time: said, as
// a real instrument's lost packets would show nowhere else.
void reportLostInput(snd_rawmidi_t* in)
{
    snd_rawmidi_status_t* status = nullptr;
    snd_rawmidi_status_alloca(&status);
    if (snd_rawmidi_status(in, status) >= 0 && snd_rawmidi_status_get_xruns(status) > 0)
        std::cout << "virtual-piano: the raw MIDI input overran: " << snd_rawmidi_status_get_xruns(status)
                  << " bytes lost" << std::endl;
}
} // namespace

void RawMidiPiano::serve()
{
    midi::SysexStreamParser parser;
    juce::uint8 chunk[4096];
    int sinceLook = 0;
    while (running)
    {
        if (!open && !openDevice(nullptr))
        {
            juce::Thread::sleep(kReopenMs);
            continue;
        }
        snd_rawmidi_t* in = nullptr;
        juce::String name;
        {
            const std::lock_guard<std::mutex> g(deviceLock);
            in = device->in; // only this thread closes it
            name = device->name;
        }
        // Now and then the finder looks again (a gadget unbinds a sequencer
        // client that came late); a device of another name replaces this one.
        if ((sinceLook += kPollMs) >= kLookMs)
        {
            sinceLook = 0;
            const auto now = finder();
            if (now != name)
            {
                std::cout << "virtual-piano: the raw MIDI device is now "
                          << (now.isEmpty() ? juce::String("gone") : now) << ", was " << name << std::endl;
                closeDevice();
                continue;
            }
        }
        const int ready = waitReady(in, POLLIN, kPollMs);
        long n = 0;
        if (ready > 0)
            n = snd_rawmidi_read(in, chunk, sizeof(chunk));
        if (ready < 0 || (n < 0 && n != -EAGAIN))
        {
            std::cout << "virtual-piano: the raw MIDI device went away; waiting for it" << std::endl;
            closeDevice();
            parser = midi::SysexStreamParser();
            continue;
        }
        if (n > 0)
        {
            const auto cutBefore = parser.cutMessages();
            parser.feed(chunk, (size_t)n,
                        [this](const juce::uint8* msg, int size)
                        {
                            // Every data message of the host has one size: another
                            // lost or gained bytes on the way.
                            if (size > sysex::kHeaderBytes &&
                                msg[sysex::kHeaderBytes - 1] == sysex::CmdData &&
                                size != sysex::kDataMessageSize)
                                std::cout << "virtual-piano: a data message arrived damaged (" << size
                                          << " bytes)" << std::endl;
                            piano.post(msg, size);
                        });
            if (parser.cutMessages() != cutBefore)
                std::cout << "virtual-piano: a message arrived cut (" << parser.cutMessages() << " so far)"
                          << std::endl;
            reportLostInput(in);
        }
    }
}
#else
struct RawMidiPiano::Device
{
};

bool RawMidiPiano::openDevice(juce::String* problem)
{
    if (problem != nullptr)
        *problem = "raw MIDI devices are served on Linux only";
    return false;
}

void RawMidiPiano::closeDevice() {}
void RawMidiPiano::deliver(const juce::uint8*, int) {}
void RawMidiPiano::serve() {}
#endif

RawMidiPiano::RawMidiPiano(ThreadedPiano& p, DeviceFinder f) : piano(p), finder(std::move(f)) {}

RawMidiPiano::~RawMidiPiano()
{
    stop();
}

bool RawMidiPiano::start(juce::String& problem)
{
    if (!openDevice(&problem))
        return false;
    running = true;
    piano.setDelivery([this](const juce::uint8* data, int size) { deliver(data, size); });
    server = std::thread([this] { serve(); });
    return true;
}

void RawMidiPiano::stop()
{
    if (!running.exchange(false))
        return;
    // Waits for a reply being written, and writes no more.
    piano.setDelivery({});
    server.join();
    closeDevice();
}
} // namespace vp
