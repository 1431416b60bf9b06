#pragma once
#include <juce_core/juce_core.h>

// The command-line tool's commands, each on the update controller and the
// device link the window uses. They return the process's exit code.
namespace cli
{
enum Exit
{
    ok = 0,
    failed = 1,        // the update, read or verify did not succeed
    usage = 2,         // the command line is wrong
    noInstrument = 3,  // no instrument paired, its flash unknown, or it stopped answering
    imageRefused = 4,  // the update image did not pass its check
    declined = 5,      // a question was answered NO (or nobody could be asked)
    busy = 6,          // another update is running from the same working folder
    twoInstruments = 7 // two or more instruments answered and none was chosen with --port
};

struct Options
{
    juce::String midi;       // port sources; empty: TAMARIND_MIDI, else "system"
    bool yes = false;        // answer every question YES
    bool log = false;        // show the log on standard error
    int waitSeconds = 15;    // how long to look for the instrument
    juce::String workFolder; // empty: the platform's working folder (or TAMARIND_WORK_DIR)
    bool trace = false;      // every SysEx message also to Tamarind-trace.log in the working folder
    juce::String port;       // the output to pair through: its name or its number; empty: any
};

int ports(const Options& options);
int info(const juce::String& file);
int update(const Options& options, const juce::String& file);
int read(const Options& options, juce::int64 address, juce::int64 length, const juce::String& out);
int verify(const Options& options, const juce::String& file, juce::int64 address);
} // namespace cli
