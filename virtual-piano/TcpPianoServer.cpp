#include "virtual-piano/TcpPianoServer.h"
#include "midi/SysexStream.h"

#if JUCE_WINDOWS
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace vp
{
TcpPianoServer::TcpPianoServer(PianoConfig config, int p, const juce::String& bindAddress)
    : threaded(std::move(config)), listenPort(p), address(bindAddress)
{
    midi::ignoreBrokenPipeSignal();
    threaded.setDelivery(
        [this](const juce::uint8* data, int size)
        {
            std::shared_ptr<juce::StreamingSocket> s;
            {
                const std::lock_guard<std::mutex> g(connectionLock);
                s = connection;
            }
            if (s == nullptr)
                return;
            // The reader thread closes the socket under the same lock.
            const std::lock_guard<std::mutex> w(socketLock);
            int done = 0;
            while (done < size)
            {
                const int n = s->write(data + done, size - done);
                if (n <= 0)
                    return;
                done += n;
            }
        });
}

TcpPianoServer::~TcpPianoServer()
{
    stop();
}

bool TcpPianoServer::start()
{
    if (!listener.createListener(listenPort, address))
        return false;
    listenPort = listener.getBoundPort();
    running = true;
    acceptThread = std::thread([this] { acceptLoop(); });
    return true;
}

void TcpPianoServer::stop()
{
    if (!running.exchange(false))
        return;
    if (acceptThread.joinable())
        acceptThread.join();
    dropConnection();
    for (auto& t : readers)
        if (t.joinable())
            t.join();
    readers.clear();
    listener.close();
}

// Ends the current connection. The socket is shut down here and closed by its
// reader thread, so no thread closes a socket another one is reading.
void TcpPianoServer::dropConnection()
{
    std::shared_ptr<juce::StreamingSocket> old;
    {
        const std::lock_guard<std::mutex> g(connectionLock);
        old = std::move(connection);
    }
    if (old != nullptr && old->getRawSocketHandle() >= 0)
        ::shutdown(old->getRawSocketHandle(), 2 /* both directions */);
}

void TcpPianoServer::acceptLoop()
{
    while (running)
    {
        if (listener.waitUntilReady(true, 100) <= 0)
            continue;
        std::shared_ptr<juce::StreamingSocket> client(listener.waitForNextConnection());
        if (client == nullptr)
            continue;
        midi::configureStreamSocket(*client, 2000);
        // One host at a time: the previous connection ends before this one starts.
        dropConnection();
        for (auto& t : readers)
            if (t.joinable())
                t.join();
        readers.clear();
        {
            const std::lock_guard<std::mutex> g(connectionLock);
            connection = client;
        }
        readers.emplace_back([this, client] { readLoop(client); });
    }
}

void TcpPianoServer::readLoop(std::shared_ptr<juce::StreamingSocket> socket)
{
    midi::SysexStreamParser parser;
    juce::uint8 chunk[8192];
    while (running && socket->isConnected())
    {
        const int ready = socket->waitUntilReady(true, 100);
        if (ready < 0)
            break;
        if (ready == 0)
            continue;
        const int n = socket->read(chunk, (int)sizeof(chunk), false);
        if (n <= 0)
            break;
        parser.feed(chunk, (size_t)n, [this](const juce::uint8* msg, int size) { threaded.post(msg, size); });
    }
    {
        const std::lock_guard<std::mutex> g(connectionLock);
        if (connection == socket)
            connection.reset();
    }
    const std::lock_guard<std::mutex> w(socketLock);
    socket->close();
}
} // namespace vp
