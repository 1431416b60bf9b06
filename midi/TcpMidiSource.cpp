// An instrument reached over one TCP connection. The stream carries raw MIDI
// bytes both ways exactly as on a cable: SysEx messages back to back.
#include "midi/MidiPorts.h"
#include "midi/SysexStream.h"
#include <mutex>

#if JUCE_WINDOWS
#include <winsock2.h>
#else
#include <csignal>
#include <sys/socket.h>
#include <sys/time.h>
#endif

namespace midi
{
void configureStreamSocket(juce::StreamingSocket& socket, int sendTimeoutMs)
{
    const int fd = socket.getRawSocketHandle();
    if (fd < 0)
        return;
#if JUCE_WINDOWS
    DWORD timeout = (DWORD)sendTimeoutMs;
    setsockopt((SOCKET)fd, SOL_SOCKET, SO_SNDTIMEO, (const char*)&timeout, sizeof(timeout));
#else
    timeval tv{};
    tv.tv_sec = sendTimeoutMs / 1000;
    tv.tv_usec = (sendTimeoutMs % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
#endif
}

void ignoreBrokenPipeSignal()
{
#if !JUCE_WINDOWS
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

namespace
{
constexpr int kConnectTimeoutMs = 300;
constexpr int kSendTimeoutMs = 500;

class TcpInputPort;

// One connection, shared by the input and output port of the source while
// either is open. A reader thread splits the stream into messages.
class TcpLink : private juce::Thread
{
public:
    TcpLink(juce::String h, int p) : juce::Thread("TCP MIDI reader"), host(std::move(h)), port(p) {}

    ~TcpLink() override
    {
        signalThreadShouldExit();
        socket.close();
        stopThread(2000);
    }

    bool connect()
    {
        if (!socket.connect(host, port, kConnectTimeoutMs))
            return false;
        configureStreamSocket(socket, kSendTimeoutMs);
        alive = true;
        startThread();
        return true;
    }

    bool isAlive() const { return alive.load(); }

    bool send(const juce::uint8* data, int size)
    {
        const std::lock_guard<std::mutex> g(writeLock);
        if (!alive)
            return false;
        int done = 0;
        while (done < size)
        {
            const int n = socket.write(data + done, size - done);
            if (n <= 0)
            {
                alive = false; // peer gone or stalled: looks like an unplugged instrument
                return false;
            }
            done += n;
        }
        return true;
    }

    void setReceiver(InputPort* portIn, InputCallback* cb, bool active)
    {
        const std::lock_guard<std::mutex> g(deliverLock);
        receiverPort = portIn;
        receiver = active ? cb : nullptr;
    }

private:
    void run() override
    {
        juce::uint8 chunk[4096];
        while (!threadShouldExit() && alive)
        {
            const int ready = socket.waitUntilReady(true, 50);
            if (ready < 0)
                break;
            if (ready == 0)
                continue;
            const int n = socket.read(chunk, (int)sizeof(chunk), false);
            if (n <= 0)
                break;
            parser.feed(chunk, (size_t)n,
                        [this](const juce::uint8* msg, int size)
                        {
                            const std::lock_guard<std::mutex> g(deliverLock);
                            if (receiver != nullptr)
                                receiver->handleIncomingMidiMessage(receiverPort, msg, size);
                        });
        }
        alive = false;
    }

    const juce::String host;
    const int port;
    juce::StreamingSocket socket;
    std::atomic<bool> alive{false};
    std::mutex writeLock, deliverLock;
    InputPort* receiverPort = nullptr;
    InputCallback* receiver = nullptr;
    SysexStreamParser parser;
};

class TcpInputPort : public InputPort
{
public:
    TcpInputPort(std::shared_ptr<TcpLink> l, juce::String n, InputCallback* cb)
        : link(std::move(l)), name(std::move(n)), callback(cb)
    {
    }
    ~TcpInputPort() override { stop(); }
    juce::String getName() const override { return name; }
    void start() override { link->setReceiver(this, callback, true); }
    void stop() override { link->setReceiver(nullptr, nullptr, false); }

private:
    std::shared_ptr<TcpLink> link;
    juce::String name;
    InputCallback* callback;
};

class TcpOutputPort : public OutputPort
{
public:
    TcpOutputPort(std::shared_ptr<TcpLink> l, juce::String n) : link(std::move(l)), name(std::move(n)) {}
    juce::String getName() const override { return name; }
    bool sendMessageNow(const juce::uint8* data, int size) override { return link->send(data, size); }

private:
    std::shared_ptr<TcpLink> link;
    juce::String name;
};

class TcpSource : public Source
{
public:
    TcpSource(juce::String h, int p)
        : host(std::move(h)), port(p), name("TCP MIDI " + host + ":" + juce::String(p))
    {
        ignoreBrokenPipeSignal();
    }

    juce::StringArray inputNames() override { return {name}; }
    juce::StringArray outputNames() override { return {name}; }

    std::unique_ptr<InputPort> openInput(int index, InputCallback* callback) override
    {
        auto l = index == 0 ? acquireLink() : nullptr;
        return l != nullptr ? std::make_unique<TcpInputPort>(std::move(l), name, callback) : nullptr;
    }

    std::unique_ptr<OutputPort> openOutput(int index) override
    {
        auto l = index == 0 ? acquireLink() : nullptr;
        return l != nullptr ? std::make_unique<TcpOutputPort>(std::move(l), name) : nullptr;
    }

private:
    // The live connection if there is one, else a new one; a lost connection
    // is replaced at the next open, that is at the next scan.
    std::shared_ptr<TcpLink> acquireLink()
    {
        const std::lock_guard<std::mutex> g(lock);
        if (auto existing = current.lock(); existing != nullptr && existing->isAlive())
            return existing;
        auto fresh = std::make_shared<TcpLink>(host, port);
        if (!fresh->connect())
            return nullptr;
        current = fresh;
        return fresh;
    }

    const juce::String host;
    const int port;
    const juce::String name;
    std::mutex lock;
    std::weak_ptr<TcpLink> current;
};
} // namespace

std::unique_ptr<Source> createTcpSource(const juce::String& host, int port)
{
    return std::make_unique<TcpSource>(host, port);
}
} // namespace midi
