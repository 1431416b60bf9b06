// virtual-piano --listen PORT [--config key=value,...]
//   serves one emulated instrument over the tcp: MIDI transport until killed.
// virtual-piano --system [NAME] [--config key=value,...]
//   makes it a MIDI device of this computer: an input and an output port
//   named NAME ("Virtual Piano MIDI 1" by default) until killed.
// virtual-piano --rawmidi DEVICE [--config key=value,...]
//   serves it through a raw MIDI device ("hw:1,0,0"), opened again whenever
//   it comes back after going away (Linux).
// virtual-piano --usb-gadget [NAME] [--udc CONTROLLER] [--config key=value,...]
//   makes it a USB-MIDI device whose product name is NAME ("Virtual Piano"
//   by default) on this machine's USB device controller, for the computer at
//   the other end of the cable; the gadget goes at exit (Linux, as root).
#include "virtual-piano/RawMidiPiano.h"
#include "virtual-piano/SystemPianoPorts.h"
#include "virtual-piano/TcpPianoServer.h"
#include "virtual-piano/UsbGadget.h"
#include <csignal>
#include <iostream>

namespace
{
using RawMidiPianoFinder = vp::RawMidiPiano::DeviceFinder;
std::atomic<bool> quit{false};
void onSignal(int)
{
    quit = true;
}

const char* const usage =
    "usage: virtual-piano --listen PORT [--config key=value,...]\n"
    "       virtual-piano --system [NAME] [--config key=value,...]\n"
    "       virtual-piano --rawmidi DEVICE [--config key=value,...]\n"
    "       virtual-piano --usb-gadget [NAME] [--udc CONTROLLER] [--config key=value,...]\n";

void waitForSignal()
{
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    while (!quit)
        juce::Thread::sleep(50);
}

enum class Mode
{
    none,
    listen,
    system,
    rawmidi,
    gadget
};

// Serves the instrument through a raw MIDI device until a signal; with a
// gadget, through the gadget's card, which may come and go.
int serveRawMidi(const vp::PianoConfig& config, RawMidiPianoFinder finder, const juce::String& what)
{
    vp::ThreadedPiano piano(config);
    vp::RawMidiPiano server(piano, std::move(finder));
    juce::String problem;
    if (!server.start(problem))
    {
        std::cerr << "virtual-piano: " << problem << "\n";
        return 1;
    }
    std::cout << "virtual-piano: " << config.flash << " " << what << std::endl;
    waitForSignal();
    server.stop();
    return 0;
}
} // namespace

int main(int argc, char* argv[])
{
    auto mode = Mode::none;
    int port = -1;
    juce::String name, device, controller;
    juce::String configText = juce::SystemStats::getEnvironmentVariable("TAMARIND_VIRTUAL_PIANO", {});
    // The name after --system and --usb-gadget is optional: whatever follows
    // that is not an option.
    auto optionalName = [&](int& i)
    {
        if (i + 1 < argc && !juce::String(argv[i + 1]).startsWith("-"))
            name = juce::String(argv[++i]).trim();
    };
    for (int i = 1; i < argc; ++i)
    {
        const juce::String arg(argv[i]);
        const bool first = mode == Mode::none;
        if (arg == "--listen" && i + 1 < argc && first)
        {
            mode = Mode::listen;
            const juce::String digits(argv[++i]);
            port = digits.containsOnly("0123456789") && digits.length() <= 5 ? digits.getIntValue() : -1;
        }
        else if (arg == "--system" && first)
        {
            mode = Mode::system;
            name = "Virtual Piano MIDI 1";
            optionalName(i);
        }
        else if (arg == "--rawmidi" && i + 1 < argc && first)
        {
            mode = Mode::rawmidi;
            device = juce::String(argv[++i]).trim();
        }
        else if (arg == "--usb-gadget" && first)
        {
            mode = Mode::gadget;
            name = "Virtual Piano";
            optionalName(i);
        }
        else if (arg == "--udc" && i + 1 < argc)
            controller = argv[++i];
        else if (arg == "--config" && i + 1 < argc)
            configText = argv[++i];
        else
        {
            std::cerr << usage;
            return 2;
        }
    }
    const bool bad = mode == Mode::none || (mode == Mode::listen && (port < 0 || port > 65535)) ||
                     ((mode == Mode::system || mode == Mode::gadget) && name.isEmpty()) ||
                     (mode == Mode::rawmidi && device.isEmpty()) ||
                     (controller.isNotEmpty() && mode != Mode::gadget);
    if (bad)
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
    if (mode == Mode::system)
    {
        vp::ThreadedPiano piano(config);
        vp::SystemPianoPorts ports(piano, name);
        if (!ports.start())
        {
            std::cerr << "virtual-piano: this system's MIDI cannot make ports of a program"
                         " (no ALSA sequencer here?)\n";
            return 1;
        }
        std::cout << "virtual-piano: " << config.flash << " as MIDI ports \"" << name << "\"" << std::endl;
        waitForSignal();
        return 0;
    }
    if (mode == Mode::rawmidi)
        return serveRawMidi(
            config, [device] { return device; }, "on raw MIDI device " + device);
    if (mode == Mode::gadget)
    {
        vp::UsbGadget::Options options;
        options.product = name;
        options.controller = controller;
        vp::UsbGadget gadget(options);
        juce::String problem;
        // The gadget is removed when this ends, also on a signal.
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        if (!gadget.create(problem))
        {
            std::cerr << "virtual-piano: " << problem << "\n";
            return 1;
        }
        // The card shows once the function is bound.
        for (int i = 0; i < 100 && gadget.rawDevice().isEmpty() && !quit; ++i)
            juce::Thread::sleep(50);
        if (quit)
            return 0;
        return serveRawMidi(
            config, [&gadget] { return gadget.rawDevice(); },
            "as USB-MIDI device \"" + name + "\" on " + gadget.controllerName() + " (gadget " +
                gadget.folder().getFullPathName() + ", card " + gadget.cardId() + ")");
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
