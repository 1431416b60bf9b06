#pragma once
#include <atomic>
#include <functional>
#include <juce_core/juce_core.h>
#include <thread>

namespace platform
{
// Keeps one instance per user. The first instance listens on a per-user local
// socket; a later launch sends its command line there and exits. Where the
// framework already does this (Windows, macOS) the layer stands aside.
class SingleInstance
{
public:
    // `name` identifies the program; TAMARIND_INSTANCE_NAME, when set, is appended
    // so tests can run beside a user's instance.
    explicit SingleInstance(const juce::String& name);
    ~SingleInstance();

    // True when this process is the first instance (it then owns the socket).
    // Otherwise hands `commandLine` to the running instance and returns false.
    bool claimOrHandOver(const juce::String& commandLine);

    // Starts delivering command lines from later launches; `handler` runs on a
    // background thread.
    void startListening(std::function<void(const juce::String&)> handler);
    void stopListening();

private:
    void acceptLoop();

    juce::String address;
    int serverFd = -1;
    std::atomic<bool> listening{false};
    std::thread thread;
    std::function<void(const juce::String&)> onCommandLine;
};
} // namespace platform
