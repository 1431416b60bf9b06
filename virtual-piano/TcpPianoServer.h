#pragma once
#include "virtual-piano/ThreadedPiano.h"
#include <atomic>

namespace vp
{
// Serves one emulated instrument over TCP: raw MIDI bytes both ways, SysEx
// messages back to back. One host connection at a time; a new connection
// replaces the old one, as replugging a cable would.
class TcpPianoServer final
{
public:
    TcpPianoServer(PianoConfig config, int port, const juce::String& bindAddress = "127.0.0.1");
    ~TcpPianoServer();

    bool start(); // false when the port cannot be bound
    void stop();
    int port() const { return listenPort; }
    ThreadedPiano& piano() { return threaded; }
    // Drops the current connection, as if the cable were pulled.
    void dropConnection();

private:
    void acceptLoop();
    void readLoop(std::shared_ptr<juce::StreamingSocket> socket);

    ThreadedPiano threaded;
    int listenPort;
    juce::String address;
    juce::StreamingSocket listener;
    std::atomic<bool> running{false};
    std::thread acceptThread;
    std::mutex connectionLock;
    std::mutex socketLock; // writes to the connection and its closing
    std::shared_ptr<juce::StreamingSocket> connection;
    std::vector<std::thread> readers;
};
} // namespace vp
