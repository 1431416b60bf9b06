// tamarind-cli: the updater without a window, for a terminal or a script.
// One table of commands and one of options drive the parsing, the help text
// and the dispatch.
#include "TamarindVersion.h"
#include "cli/Commands.h"
#include "midi/MidiPorts.h"
#include "midi/SysexStream.h"
#include "platform/Interrupts.h"
#include "platform/SafeFile.h"
#include "platform/TextConversion.h"
#include <iostream>
#include <juce_events/juce_events.h>

namespace
{
using Run = int (*)(const cli::Options&, const juce::StringArray&, cli::Report&);

struct Command
{
    const char* name;
    const char* arguments; // for the usage line
    int fewest, most;      // how many words follow the command's name
    const char* help;      // lines, each ending in "\n"
    Run run;
};

const Command commands[] = {
    {"ports", "", 0, 0,
     "list the MIDI ports; pair with the instrument and show its flash, firmware\n"
     "version and product name\n",
     cli::ports},
    {"info", "FILE", 1, 1, "check an update image (exit 0: it passes, 4: refused)\n", cli::info},
    {"update", "[FILE]", 0, 1,
     "update the instrument with FILE (default: update.rom beside this program);\n"
     "an interrupted update is repaired. An image older than the instrument's\n"
     "firmware, or of the same version, is refused (see --allow-older and\n"
     "--allow-reinstall)\n",
     cli::update},
    {"read", "ADDRESS LENGTH OUT", 3, 3, "read LENGTH bytes of flash from ADDRESS into the new file OUT\n",
     cli::read},
    {"verify", "FILE [ADDRESS]", 1, 2,
     "compare FILE with the flash from ADDRESS (default 0); says the first\n"
     "differing address\n",
     cli::verify},
    {"history", "", 0, 0, "show the updates and repairs made from the working folder\n", cli::history},
};

// An option; `value` names its value for the help text (nullptr: it takes
// none). `take` stores it, returning what is wrong with the value, if anything.
struct Option
{
    const char* name;
    const char* shortName; // or nullptr
    const char* value;
    const char* help;
    juce::String (*take)(cli::Options&, const juce::String& value);
    bool cli::Options::*flag = nullptr; // an option without a value: what it sets
};

juce::String takeMidi(cli::Options& o, const juce::String& v)
{
    o.midi = v;
    const auto problem = midi::checkPortList(v);
    return problem.isEmpty() ? problem : "--midi: " + problem;
}

juce::String takeWait(cli::Options& o, const juce::String& v)
{
    juce::String problem;
    const auto seconds = cli::parseNumber(v, "--wait", problem);
    if (seconds && *seconds > 24 * 3600)
        return "--wait: at most 86400 seconds";
    if (seconds)
        o.waitSeconds = (int)*seconds;
    return problem;
}

juce::String takePort(cli::Options& o, const juce::String& v)
{
    o.port = v;
    return v.isEmpty() ? juce::String("--port takes an output's name or number") : juce::String();
}

// A relative folder is taken from the current folder.
juce::String takeWork(cli::Options& o, const juce::String& v)
{
    if (v.isEmpty())
        return "--work takes a folder";
    o.workFolder = juce::File::getCurrentWorkingDirectory().getChildFile(v).getFullPathName();
    return {};
}

const Option options[] = {
    {"--midi", nullptr, "SOURCES",
     "port sources: system, virtual, tcp:HOST:PORT (comma-separated;\n"
     "default: TAMARIND_MIDI, else system)\n",
     takeMidi},
    {"--port", nullptr, "PORT",
     "pair only through this output (its name, or its number in the list of\n"
     "ports); needed when several instruments answer\n",
     takePort},
    {"--wait", nullptr, "SECONDS", "how long to look for the instrument (default 15)\n", takeWait},
    {"--work", nullptr, "FOLDER",
     "the working folder of the lock, backup, log and history (created 0700\n"
     "when missing); one update at a time runs from a folder: give each piano\n"
     "its own to update several at once\n",
     takeWork},
    {"--yes", nullptr, nullptr, "answer YES to the update's questions\n", nullptr, &cli::Options::yes},
    {"--allow-older", nullptr, nullptr, "update: write an image older than the instrument's firmware\n",
     nullptr, &cli::Options::allowOlder},
    {"--allow-reinstall", nullptr, nullptr, "update: write the version the instrument already has\n", nullptr,
     &cli::Options::allowReinstall},
    {"--force", nullptr, nullptr, "read: replace an existing OUT\n", nullptr, &cli::Options::force},
    {"--json", nullptr, nullptr,
     "standard output carries JSON only: one document per command (update:\n"
     "one event per line, the document last); see the manual page\n",
     nullptr, &cli::Options::json},
    {"--quiet", "-q", nullptr, "no status lines and no progress (errors and results remain)\n", nullptr,
     &cli::Options::quiet},
    {"--log", nullptr, nullptr, "show the log on standard error, with time stamps\n", nullptr,
     &cli::Options::log},
    {"--trace", nullptr, nullptr,
     "record every MIDI message in Tamarind-trace.log in the working folder\n"
     "(also TAMARIND_TRACE=1)\n",
     nullptr, &cli::Options::trace},
    {"--help", "-h", nullptr, "this text\n", nullptr},
    {"--version", "-V", nullptr, "the program's version\n", nullptr},
};

// A help entry: its name, then its lines in one column.
void appendIndented(juce::String& text, const juce::String& first, const char* help)
{
    constexpr int column = 26;
    auto lines = juce::StringArray::fromLines(juce::String(help).trimEnd());
    text << "  " << first.paddedRight(' ', column - 2) << lines[0] << "\n";
    for (int i = 1; i < lines.size(); ++i)
        text << juce::String().paddedRight(' ', column) << lines[i] << "\n";
}

juce::String helpText()
{
    juce::String text = "usage: tamarind-cli [OPTIONS] COMMAND [ARGUMENTS]\n"
                        "       tamarind-cli [OPTIONS] FILE.rom    (the same as: update FILE.rom)\n"
                        "\ncommands:\n";
    for (const auto& c : commands)
        appendIndented(text, juce::String(c.name) + " " + c.arguments, c.help);
    text << "\noptions:\n";
    for (const auto& o : options)
        appendIndented(text,
                       juce::String(o.shortName != nullptr ? juce::String(o.shortName) + ", " : "") + o.name +
                           (o.value != nullptr ? juce::String(" ") + o.value : juce::String()),
                       o.help);
    text << "\nADDRESS and LENGTH are bytes, decimal or hexadecimal with 0x.\n"
            "A relative FILE, OUT or FOLDER is taken from the current folder.\n"
            "\nexit codes:\n";
    for (const auto& e : cli::exitTexts)
        text << "  " << e.code << "  " << e.text << "\n";
    return text;
}

// A wrong command line: one line saying what is wrong, and where to look.
int usageError(cli::Report& report, const juce::String& why)
{
    report.fail(cli::usage, why);
    if (report.json)
        std::cout << report.document({}, cli::usage) << std::endl;
    else
        std::cerr << "Try 'tamarind-cli --help' for more." << std::endl;
    return cli::usage;
}

const Option* findOption(const juce::String& text)
{
    for (const auto& o : options)
        if (text == o.name || (o.shortName != nullptr && text == o.shortName))
            return &o;
    return nullptr;
}

// A negative number is a wrong value, not an option: "-1" is taken as a word
// for the command to refuse.
bool looksNegative(const juce::String& text)
{
    return text.length() > 1 && text[0] == '-' && juce::CharacterFunctions::isDigit(text[1]);
}

int run(const juce::StringArray& args)
{
    cli::Options o;
    o.trace = juce::SystemStats::getEnvironmentVariable("TAMARIND_TRACE", {}) == "1";
    // --json is known before any message, so that an error is JSON too.
    for (const auto& a : args)
    {
        if (a == "--")
            break;
        o.json = o.json || a == "--json";
    }
    cli::Report report(o.json);
    juce::StringArray words;
    bool help = false, version = false, wordsOnly = false;
    for (int i = 0; i < args.size(); ++i)
    {
        const auto& a = args[i];
        if (wordsOnly || !a.startsWith("-") || a == "-" || looksNegative(a))
        {
            words.add(a);
            continue;
        }
        if (a == "--")
        {
            wordsOnly = true;
            continue;
        }
        const auto name = a.upToFirstOccurrenceOf("=", false, false);
        const auto* option = findOption(name);
        if (option == nullptr)
            return usageError(report, "unknown option " + name);
        const bool inline_ = a.contains("=");
        if (option->value == nullptr && inline_)
            return usageError(report, name + " takes no value");
        if (option->flag != nullptr)
        {
            o.*(option->flag) = true;
            continue;
        }
        if (option->take == nullptr)
        {
            (juce::String(option->name) == "--help" ? help : version) = true;
            continue;
        }
        juce::String value;
        if (option->value != nullptr)
        {
            if (inline_)
                value = a.fromFirstOccurrenceOf("=", false, false);
            else if (i + 1 < args.size())
                value = args[++i];
            else
                return usageError(report, name + " takes " + option->value);
        }
        if (const auto problem = option->take(o, value); problem.isNotEmpty())
            return usageError(report, problem);
    }
    if (help)
    {
        std::cout << helpText();
        return cli::ok;
    }
    if (version)
    {
        std::cout << "tamarind-cli " << TAMARIND_VERSION << std::endl;
        return cli::ok;
    }
    if (o.midi.isEmpty())
    {
        const auto fromEnvironment = midi::portListFromEnvironment();
        if (const auto problem = midi::checkPortList(fromEnvironment); problem.isNotEmpty())
            return usageError(report, "TAMARIND_MIDI: " + problem);
    }
    if (words.isEmpty())
        return usageError(report, "no command");

    // One argument ending in ".rom" names the update file: "update FILE.rom".
    if (words.size() == 1 && words[0].endsWithIgnoreCase(".rom"))
        words.insert(0, "update");
    for (const auto& c : commands)
    {
        if (words[0] != c.name)
            continue;
        const int count = words.size() - 1;
        if (count < c.fewest || count > c.most)
            return usageError(report,
                              juce::String("usage: tamarind-cli [OPTIONS] ") + c.name + " " + c.arguments);
        int code;
        try
        {
            code = c.run(o, words, report);
        }
        catch (const cli::Interrupted& what)
        {
            code = cli::reportInterruption(what, report);
        }
        if (report.json)
            std::cout << report.document(c.name, code) << std::endl;
        else if (code == cli::usage)
            std::cerr << "Try 'tamarind-cli --help' for more." << std::endl;
        return code;
    }
    return usageError(report, "unknown command " + words[0]);
}
} // namespace

int main(int argc, char* argv[])
{
    platform::initialiseTextEncoding();
    platform::useUtf8Console();
    midi::ignoreBrokenPipeSignal();
    const juce::ScopedJuceInitialiser_GUI messageLoop;
    // Ctrl-C and SIGTERM end a command through its own wait, so the piano's
    // state is said and the working files are left as they should be.
    const platform::InterruptWatch interrupts(cli::interruptRequested);
    // Each argument as given: an empty one ("--port ''") stays a value.
    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add(juce::String(platform::narrowToWide(argv[i]).c_str()));
    return run(args);
}
