// An instrument reached over one TCP connection. The stream carries raw MIDI
// bytes both ways exactly as on a cable: SysEx messages back to back.
#include "midi/TcpMidiSource.h"
#include "midi/MidiPorts.h"
#include "midi/SysexStream.h"
#include <mutex>
#include <thread>

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
std::mutex connectObserverLock;
std::function<void()> connectObserver;

void notifyConnectAttempt()
{
    std::function<void()> observer;
    {
        const std::lock_guard<std::mutex> g(connectObserverLock);
        observer = connectObserver;
    }
    if (observer)
        observer();
}
} // namespace

void setTcpConnectObserver(std::function<void()> observer)
{
    const std::lock_guard<std::mutex> g(connectObserverLock);
    connectObserver = std::move(observer);
}

namespace
{
constexpr int kConnectTimeoutMs = 300;
constexpr int kSendTimeoutMs = 500;

class TcpInputPort;

// One connection, shared by the source and its input and output port. A
// reader thread splits the stream into messages.
class TcpLink final : private juce::Thread
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
        notifyConnectAttempt();
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
        if (threadShouldExit())
            return; // closed by the host
        // The peer closed the connection or it broke: the instrument is gone.
        const std::lock_guard<std::mutex> g(deliverLock);
        if (receiver != nullptr)
            receiver->portLost(receiverPort);
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

class TcpInputPort final : public InputPort
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

class TcpOutputPort final : public OutputPort
{
public:
    TcpOutputPort(std::shared_ptr<TcpLink> l, juce::String n) : link(std::move(l)), name(std::move(n)) {}
    juce::String getName() const override { return name; }
    bool sendMessageNow(const juce::uint8* data, int size) override { return link->send(data, size); }

private:
    std::shared_ptr<TcpLink> link;
    juce::String name;
};

class TcpSource final : public Source
{
public:
    TcpSource(juce::String h, int p)
        : host(std::move(h)), port(p), name("TCP MIDI " + host + ":" + juce::String(p))
    {
        ignoreBrokenPipeSignal();
    }

    ~TcpSource() override
    {
        if (connector.joinable())
            connector.join();
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
    // The live connection, kept from scan to scan while the peer is there.
    // Without one, a connect starts in the background and the caller gets
    // nothing: a scan on the message thread never waits for a peer that may be
    // gone (on Windows a refused connect can take the whole time-out). A lost
    // connection is replaced the same way, so a scan after the one that finds
    // it gone connects again.
    std::shared_ptr<TcpLink> acquireLink()
    {
        std::shared_ptr<TcpLink> lost;
        const std::lock_guard<std::mutex> g(lock);
        if (current != nullptr && current->isAlive())
            return current;
        lost = std::move(current);
        if (!connecting)
        {
            if (connector.joinable())
                connector.join(); // finished: clearing `connecting` was its last step
            connecting = true;
            connector = std::thread([this] { connectInBackground(); });
        }
        return nullptr;
    }

    void connectInBackground()
    {
        auto fresh = std::make_shared<TcpLink>(host, port);
        if (!fresh->connect())
            fresh.reset();
        const std::lock_guard<std::mutex> g(lock);
        current = std::move(fresh);
        connecting = false;
    }

    const juce::String host;
    const int port;
    const juce::String name;
    std::mutex lock;
    std::shared_ptr<TcpLink> current;
    bool connecting = false;
    std::thread connector;
};
} // namespace

std::unique_ptr<Source> createTcpSource(const juce::String& host, int port)
{
    return std::make_unique<TcpSource>(host, port);
}
} // namespace midi
