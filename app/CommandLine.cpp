#include "app/CommandLine.h"

LaunchOptions LaunchOptions::parse(const juce::StringArray& arguments)
{
    LaunchOptions o;
    juce::StringArray words;
    for (const auto& a : arguments)
    {
        if (!a.startsWith("--"))
            words.add(a);
        else if (a == "--help")
            o.help = true;
        else if (a == "--version")
            o.version = true;
        else if (a == "--trace")
            o.trace = true;
        else if (o.unknownOption.isEmpty())
            o.unknownOption = a;
    }
    o.presetName = words.joinIntoString(" ");
    return o;
}

const char* LaunchOptions::usage()
{
    return "usage: Tamarind [--trace] [PRESET]\n"
           "       Tamarind --help | --version\n"
           "\n"
           "  --trace    also record every MIDI message exchanged with the piano in\n"
           "             Tamarind-trace.log in the working folder (or set TAMARIND_TRACE=1)\n"
           "  --help     this text\n"
           "  --version  the program's version\n"
           "  PRESET     the name of a preset of the service settings to load\n"
           "\n"
           "Tamarind updates the firmware of the piano connected by USB with the file\n"
           "update.rom beside the program; tamarind-cli does the same from a terminal.\n";
}
