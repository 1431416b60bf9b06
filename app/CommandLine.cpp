#include "app/CommandLine.h"
#include "platform/SafeFile.h"

bool LaunchOptions::namesUpdateFile(const juce::String& text)
{
    return text.trim().unquoted().trim().endsWithIgnoreCase(".rom");
}

LaunchOptions LaunchOptions::parse(const juce::StringArray& arguments, const juce::File& folder)
{
    LaunchOptions o;
    juce::StringArray words;
    bool optionsEnded = false;
    // Each option is matched as a whole argument: "-h" is help, "-1h" is no
    // option this program knows.
    for (const auto& a : arguments)
    {
        if (optionsEnded || !a.startsWith("-"))
            words.add(a);
        else if (a == "--")
            optionsEnded = true;
        else if (a == "--help" || a == "-h")
            o.help = true;
        else if (a == "--version" || a == "-V")
            o.version = true;
        else if (a == "--trace")
            o.trace = true;
        else if (o.unknownOption.isEmpty())
            o.unknownOption = a;
    }
    const auto text = words.joinIntoString(" ");
    if (!namesUpdateFile(text))
    {
        o.presetName = text;
        return o;
    }
    // The update file: one argument naming an existing regular file.
    const auto path = folder.getChildFile(text).getFullPathName();
    const auto kind = platform::inspectFile(path, true);
    if (words.size() != 1)
        o.badImage = "one update file at most, given as one argument: " + text;
    else if (kind == platform::FileKind::missing)
        o.badImage = "no update file " + platform::printablePath(path);
    else if (kind != platform::FileKind::regular)
        o.badImage =
            platform::printablePath(path) + " is " + platform::describeKind(kind) + ", not an update file";
    else
        o.imagePath = path;
    return o;
}

std::optional<LaunchOptions::Answer>
LaunchOptions::answerBeforeWindow(const juce::String& programVersion) const
{
    if (unknownOption.isNotEmpty())
        return Answer{2, {}, "Tamarind: unknown option " + unknownOption + "\n" + usage()};
    if (help)
        return Answer{0, usage(), {}};
    if (version)
        return Answer{0, "Tamarind " + programVersion + "\n", {}};
    if (badImage.isNotEmpty())
        return Answer{2, {}, "Tamarind: " + badImage + "\n"};
    return std::nullopt;
}

const char* LaunchOptions::usage()
{
    return "usage: Tamarind [--trace] [PRESET | FILE.rom]\n"
           "       Tamarind --help | --version\n"
           "\n"
           "  --trace        also record every MIDI message exchanged with the piano in\n"
           "                 Tamarind-trace.log in the working folder (or set TAMARIND_TRACE=1)\n"
           "  -h, --help     this text\n"
           "  -V, --version  the program's version\n"
           "  PRESET         the name of a preset of the service settings to load\n"
           "  FILE.rom       the update file to use instead of update.rom beside the program\n"
           "\n"
           "Arguments that begin with - are options; those after -- are not (for a\n"
           "preset name that begins with -).\n"
           "\n"
           "Tamarind updates the firmware of the piano connected by USB with the file\n"
           "update.rom beside the program; tamarind-cli does the same from a terminal.\n";
}
