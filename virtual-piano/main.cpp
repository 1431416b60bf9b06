// virtual-piano --listen PORT [--config key=value,...]
// Serves one emulated instrument over the tcp: MIDI transport until killed.
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
} // namespace

int main(int argc, char* argv[])
{
    int port = -1;
    juce::String configText = juce::SystemStats::getEnvironmentVariable("TAMARIND_VIRTUAL_PIANO", {});
    for (int i = 1; i < argc; ++i)
    {
        const juce::String arg(argv[i]);
        if (arg == "--listen" && i + 1 < argc)
            port = juce::String(argv[++i]).getIntValue();
        else if (arg == "--config" && i + 1 < argc)
            configText = argv[++i];
        else
        {
            std::cerr << "usage: virtual-piano --listen PORT [--config key=value,...]\n";
            return 2;
        }
    }
    if (port < 0 || port > 65535)
    {
        std::cerr << "usage: virtual-piano --listen PORT [--config key=value,...]\n";
        return 2;
    }
    juce::String error;
    const auto config = vp::PianoConfig::parse(configText, &error);
    if (error.isNotEmpty())
    {
        std::cerr << "virtual-piano: " << error;
        return 2;
    }
    vp::TcpPianoServer server(config, port);
    if (!server.start())
    {
        std::cerr << "virtual-piano: cannot listen on port " << port << "\n";
        return 1;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::cout << "virtual-piano: " << config.flash << " listening on 127.0.0.1:" << server.port()
              << std::endl;
    while (!quit)
        juce::Thread::sleep(50);
    server.stop();
    return 0;
}
