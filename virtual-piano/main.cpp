// virtual-piano --listen PORT [--config key=value,...]
//   serves one emulated instrument over the tcp: MIDI transport until killed.
// virtual-piano --system [NAME] [--config key=value,...]
//   makes it a MIDI device of this computer: an input and an output port
//   named NAME ("Virtual Piano MIDI 1" by default) until killed.
#include "virtual-piano/SystemPianoPorts.h"
#include "virtual-piano/TcpPianoServer.h"
#include <csignal>
#include <iostream>

namespace
{
std::atomic<bool> quit{false};
void onSignal(int)
{
    quit = true;
}

const char* const usage = "usage: virtual-piano --listen PORT [--config key=value,...]\n"
                          "       virtual-piano --system [NAME] [--config key=value,...]\n";

void waitForSignal()
{
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    while (!quit)
        juce::Thread::sleep(50);
}
} // namespace

int main(int argc, char* argv[])
{
    int port = -1;
    bool system = false;
    juce::String systemName = "Virtual Piano MIDI 1";
    juce::String configText = juce::SystemStats::getEnvironmentVariable("TAMARIND_VIRTUAL_PIANO", {});
    for (int i = 1; i < argc; ++i)
    {
        const juce::String arg(argv[i]);
        if (arg == "--listen" && i + 1 < argc && !system)
        {
            port = juce::String(argv[++i]).getIntValue();
            if (port < 0 || port > 65535)
                port = -2;
        }
        else if (arg == "--system" && port == -1)
        {
            system = true;
            // The name is optional: whatever follows that is not an option.
            if (i + 1 < argc && !juce::String(argv[i + 1]).startsWith("-"))
                systemName = juce::String(argv[++i]).trim();
        }
        else if (arg == "--config" && i + 1 < argc)
            configText = argv[++i];
        else
        {
            std::cerr << usage;
            return 2;
        }
    }
    if ((!system && port < 0) || systemName.isEmpty())
    {
        std::cerr << usage;
        return 2;
    }
    juce::String error;
    const auto config = vp::PianoConfig::parse(configText, &error);
    if (error.isNotEmpty())
    {
        std::cerr << "virtual-piano: " << error;
        return 2;
    }
    if (system)
    {
        vp::ThreadedPiano piano(config);
        vp::SystemPianoPorts ports(piano, systemName);
        if (!ports.start())
        {
            std::cerr << "virtual-piano: this system's MIDI cannot make ports of a program"
                         " (no ALSA sequencer here?)\n";
            return 1;
        }
        std::cout << "virtual-piano: " << config.flash << " as MIDI ports \"" << systemName << "\""
                  << std::endl;
        waitForSignal();
        return 0;
    }
    vp::TcpPianoServer server(config, port);
    if (!server.start())
    {
        std::cerr << "virtual-piano: cannot listen on port " << port << "\n";
        return 1;
    }
    std::cout << "virtual-piano: " << config.flash << " listening on 127.0.0.1:" << server.port()
              << std::endl;
    waitForSignal();
    server.stop();
    return 0;
}
