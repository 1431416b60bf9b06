#pragma once
#include <atomic>
#include <functional>
#include <juce_core/juce_core.h>
#include <thread>

namespace platform
{
// Keeps one instance per user. The first instance listens on a per-user local
// socket that serves only the same user; a later launch sends its command line
// there and exits. Where the framework already does this (Windows, macOS) the
// layer stands aside.
//
// Nothing waits without bound: a hand-over that does not complete within
// `handOverMs` (a name held by a program that does not answer, or by another
// user) lets the later launch run as the only instance, and the running
// instance gives each client `clientMs` to send its command line, serving
// several clients at once so that a slow one delays no other.
class SingleInstance final
{
public:
    struct Timing
    {
        int handOverMs = 1000;
        int clientMs = 500;
    };

    // `name` identifies the program; TAMARIND_INSTANCE_NAME, when set, is appended
    // so tests can run beside a user's instance.
    explicit SingleInstance(const juce::String& name) : SingleInstance(name, Timing()) {}
    SingleInstance(const juce::String& name, Timing timing);
    ~SingleInstance();

    // True when this process is to run as the instance: it owns the socket,
    // or the hand-over failed (see getNote()). Otherwise it has handed
    // `commandLine` to the running instance and returns false.
    bool claimOrHandOver(const juce::String& commandLine);

    // Why this process runs although another holds the name; empty otherwise.
    juce::String getNote() const { return note; }

    // Starts delivering command lines from later launches; `handler` runs on a
    // background thread.
    void startListening(std::function<void(const juce::String&)> handler);
    void stopListening();

    // The socket's name (tests connect to it directly).
    juce::String getAddress() const { return address; }

    // Longest command line taken from a later launch, in bytes.
    static constexpr int kMaxCommandLine = 65536;
    // Clients served at once; a further one replaces the oldest.
    static constexpr int kMaxClients = 8;

private:
    void serveLoop();

    juce::String address;
    Timing timing;
    juce::String note;
    int serverFd = -1;
    std::atomic<bool> listening{false};
    std::thread thread;
    std::function<void(const juce::String&)> onCommandLine;
};
} // namespace platform
