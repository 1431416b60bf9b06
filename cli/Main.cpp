// tamarind-cli: the updater without a window, for a terminal or a script.
#include "TamarindVersion.h"
#include "cli/Commands.h"
#include "midi/SysexStream.h"
#include "platform/SafeFile.h"
#include "platform/TextConversion.h"
#include <iostream>
#include <juce_events/juce_events.h>

namespace
{
const char* const helpText =
    "usage: tamarind-cli [OPTIONS] COMMAND [ARGUMENTS]\n"
    "       tamarind-cli [OPTIONS] FILE.rom    (the same as: update FILE.rom)\n"
    "\n"
    "commands:\n"
    "  ports                    list the MIDI ports; pair with the instrument and show its\n"
    "                           flash, firmware version and product name\n"
    "  info FILE                check an update image; the exit code is the check's result\n"
    "  update [FILE]            update the instrument with FILE (default: update.rom beside\n"
    "                           this program); an interrupted update is repaired\n"
    "  read ADDRESS LENGTH OUT  read LENGTH bytes of flash from ADDRESS into the file OUT\n"
    "  verify FILE [ADDRESS]    read back as many bytes as FILE holds (from ADDRESS, default 0)\n"
    "                           and compare them with FILE\n"
    "\n"
    "options:\n"
    "  --midi SOURCES   port sources: system, virtual, tcp:HOST:PORT (comma-separated;\n"
    "                   default: TAMARIND_MIDI, else system)\n"
    "  --yes            answer YES to the update's questions\n"
    "  --log            show the log on standard error\n"
    "  --wait SECONDS   how long to look for the instrument (default 15)\n"
    "  --port PORT      pair only through this output (its name, or its number in the\n"
    "                   list of ports); needed when several instruments answer\n"
    "  --work FOLDER    the working folder of the lock, backup and read-back files; one\n"
    "                   update at a time runs from a folder: give each piano its own\n"
    "                   to update several at once\n"
    "  --trace          record every MIDI message in Tamarind-trace.log in the working folder\n"
    "  --help           this text\n"
    "  --version        the program's version\n"
    "\n"
    "ADDRESS and LENGTH are bytes, decimal or hexadecimal with 0x.\n"
    "exit codes: 0 done, 1 failed, 2 wrong command line, 3 no instrument (or not\n"
    "recognised, or it stopped answering), 4 update image refused, 5 answered NO,\n"
    "6 another update is running from the same working folder, 7 more than one\n"
    "instrument answered and none was chosen with --port.\n";

int usageError(const juce::String& why)
{
    std::cerr << "tamarind-cli: " << why << "\n" << helpText;
    return cli::usage;
}

// A byte count or address; -1 when it is none.
juce::int64 number(const juce::String& text)
{
    const auto t = text.trim();
    const bool hex = t.startsWithIgnoreCase("0x");
    const auto digits = hex ? t.substring(2) : t;
    if (digits.isEmpty() || !digits.containsOnly(hex ? "0123456789abcdefABCDEF" : "0123456789") ||
        digits.length() > (hex ? 12 : 15))
        return -1;
    return hex ? digits.getHexValue64() : digits.getLargeIntValue();
}

// The value of a long option, given as "--name=VALUE" or "--name VALUE"; both
// are removed. `present` tells whether the option was there at all.
juce::String takeValue(juce::ArgumentList& args, const char* name, bool& present)
{
    const int i = args.indexOfOption(name);
    present = i >= 0;
    if (!present)
        return {};
    const auto text = args.arguments[i].text;
    args.arguments.remove(i);
    if (text.contains("="))
        return text.fromFirstOccurrenceOf("=", false, false);
    if (i < args.arguments.size() && !args.arguments[i].isOption())
    {
        const auto value = args.arguments[i].text;
        args.arguments.remove(i);
        return value;
    }
    return {};
}

// The common options, removed from `args`; a description of what is wrong with them, if anything.
juce::String takeOptions(juce::ArgumentList& args, cli::Options& options)
{
    options.yes = args.removeOptionIfFound("--yes");
    options.log = args.removeOptionIfFound("--log");
    options.trace = args.removeOptionIfFound("--trace") ||
                    juce::SystemStats::getEnvironmentVariable("TAMARIND_TRACE", {}) == "1";
    bool present = false;
    options.midi = takeValue(args, "--midi", present);
    if (present && options.midi.isEmpty())
        return juce::String("--midi takes a list of port sources");
    options.port = takeValue(args, "--port", present);
    if (present && options.port.isEmpty())
        return juce::String("--port takes an output's name or number");
    options.workFolder = takeValue(args, "--work", present);
    if (present && options.workFolder.isEmpty())
        return juce::String("--work takes a folder");
    const auto wait = takeValue(args, "--wait", present);
    if (present)
    {
        const auto seconds = number(wait);
        if (seconds < 0 || seconds > 24 * 3600)
            return juce::String("--wait takes a number of seconds");
        options.waitSeconds = (int)seconds;
    }
    return {};
}

int run(juce::ArgumentList args)
{
    if (args.containsOption("--help|-h"))
    {
        std::cout << helpText;
        return cli::ok;
    }
    if (args.containsOption("--version"))
    {
        std::cout << "tamarind-cli " << TAMARIND_VERSION << std::endl;
        return cli::ok;
    }
    cli::Options options;
    const auto problem = takeOptions(args, options);
    if (problem.isNotEmpty())
        return usageError(problem);
    juce::StringArray words;
    for (auto& a : args.arguments)
    {
        if (a.isOption())
            return usageError("unknown option " + a.text);
        words.add(a.text);
    }
    if (words.isEmpty())
        return usageError("no command");
    const auto command = words[0];
    const int count = words.size() - 1;
    auto file = [&](int i)
    { return juce::File::getCurrentWorkingDirectory().getChildFile(words[i]).getFullPathName(); };
    // One argument ending in ".rom" names the update file: "update FILE.rom".
    if (count == 0 && command.endsWithIgnoreCase(".rom"))
    {
        const auto path = file(0);
        if (platform::inspectFile(path, true) != platform::FileKind::regular)
            return usageError("no update file " + platform::printablePath(path));
        return cli::update(options, path);
    }
    if (command == "ports" && count == 0)
        return cli::ports(options);
    if (command == "info" && count == 1)
        return cli::info(file(1));
    if (command == "update" && count <= 1)
        return cli::update(options, count == 1 ? file(1) : juce::String());
    if (command == "read" && count == 3)
    {
        const auto address = number(words[1]), length = number(words[2]);
        if (address < 0 || length <= 0)
            return usageError("read takes an ADDRESS and a LENGTH above 0");
        return cli::read(options, address, length, file(3));
    }
    if (command == "verify" && (count == 1 || count == 2))
    {
        const auto address = count == 2 ? number(words[2]) : 0;
        if (address < 0)
            return usageError("verify takes an ADDRESS");
        return cli::verify(options, file(1), address);
    }
    return usageError("unknown command or wrong number of arguments: " + words.joinIntoString(" "));
}
} // namespace

int main(int argc, char* argv[])
{
    platform::initialiseTextEncoding();
    midi::ignoreBrokenPipeSignal();
    const juce::ScopedJuceInitialiser_GUI messageLoop;
    return run(juce::ArgumentList(argc, argv));
}
