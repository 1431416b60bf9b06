// Checks a raw MIDI path on its own, without the program or the instrument:
//   rawmidi-check send DEVICE COUNT       COUNT data-sized SysEx messages, each
//                                         of its own content, back to back with
//                                         blocking writes, then waits for them
//                                         to leave
//   rawmidi-check receive DEVICE COUNT SECONDS
//                                         reads until COUNT messages came or
//                                         SECONDS passed without a byte, and
//                                         says how many arrived whole
// Used on an emulated USB bus, where the sender is the host's side of the
// class driver and the receiver the device's side.
#include <alsa/asoundlib.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <vector>

namespace
{
constexpr int kMessageBytes = 4689; // the size of a data message of the program

void fill(std::vector<unsigned char>& m, int index)
{
    m.assign(kMessageBytes, 0);
    m.front() = 0xF0;
    for (int i = 1; i + 1 < kMessageBytes; ++i)
        m[(size_t)i] = (unsigned char)((i * 7 + index) & 0x7F);
    m.back() = 0xF7;
}

int send(const char* device, int count)
{
    snd_rawmidi_t* out = nullptr;
    if (const int r = snd_rawmidi_open(nullptr, &out, device, 0); r < 0)
    {
        std::fprintf(stderr, "rawmidi-check: cannot open %s: %s\n", device, snd_strerror(r));
        return 1;
    }
    std::vector<unsigned char> m;
    for (int k = 0; k < count; ++k)
    {
        fill(m, k);
        for (size_t done = 0; done < m.size();)
        {
            const auto n = snd_rawmidi_write(out, m.data() + done, m.size() - done);
            if (n < 0)
            {
                std::fprintf(stderr, "rawmidi-check: write failed: %s\n", snd_strerror((int)n));
                return 1;
            }
            done += (size_t)n;
        }
    }
    snd_rawmidi_drain(out);
    snd_rawmidi_close(out);
    std::printf("sent %d messages of %d bytes\n", count, kMessageBytes);
    return 0;
}

int receive(const char* device, int count, int seconds)
{
    snd_rawmidi_t* in = nullptr;
    if (const int r = snd_rawmidi_open(&in, nullptr, device, SND_RAWMIDI_NONBLOCK); r < 0)
    {
        std::fprintf(stderr, "rawmidi-check: cannot open %s: %s\n", device, snd_strerror(r));
        return 1;
    }
    // Room for many messages: a slow reader must not be what loses bytes.
    snd_rawmidi_params_t* params = nullptr;
    snd_rawmidi_params_alloca(&params);
    if (snd_rawmidi_params_current(in, params) < 0 ||
        snd_rawmidi_params_set_buffer_size(in, params, 1 << 16) < 0 || snd_rawmidi_params(in, params) < 0)
        std::fprintf(stderr, "rawmidi-check: the input buffer stays at its default size\n");
    std::printf("ready\n");
    std::fflush(stdout);
    std::vector<unsigned char> message, expected;
    bool collecting = false;
    int arrived = 0, whole = 0;
    long bytes = 0;
    unsigned char chunk[8192];
    while (arrived < count)
    {
        pollfd fds[4];
        const int n = snd_rawmidi_poll_descriptors(in, fds, 4);
        if (n <= 0 || poll(fds, (nfds_t)n, seconds * 1000) <= 0)
            break; // silent for too long
        const auto got = snd_rawmidi_read(in, chunk, sizeof(chunk));
        if (got == -EAGAIN)
            continue;
        if (got < 0)
            break;
        bytes += got;
        for (long i = 0; i < got; ++i)
        {
            const unsigned char b = chunk[i];
            if (b == 0xF0)
            {
                if (collecting)
                    ++arrived; // cut: its end never came
                message.assign(1, b);
                collecting = true;
            }
            else if (collecting)
            {
                message.push_back(b);
                if (b == 0xF7)
                {
                    fill(expected, arrived);
                    whole += message == expected ? 1 : 0;
                    ++arrived;
                    collecting = false;
                }
            }
        }
    }
    snd_rawmidi_status_t* status = nullptr;
    snd_rawmidi_status_alloca(&status);
    const size_t xruns = snd_rawmidi_status(in, status) >= 0 ? snd_rawmidi_status_get_xruns(status) : 0;
    snd_rawmidi_close(in);
    std::printf("received %d of %d messages whole, %ld of %ld bytes; %zu bytes lost by this side's buffer\n",
                whole, count, bytes, (long)count * kMessageBytes, xruns);
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "send") == 0)
        return send(argv[2], std::atoi(argv[3]));
    if (argc == 5 && std::strcmp(argv[1], "receive") == 0)
        return receive(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    std::fprintf(stderr, "usage: rawmidi-check send DEVICE COUNT\n"
                         "       rawmidi-check receive DEVICE COUNT SECONDS\n");
    return 2;
}
