#pragma once
#include <juce_core/juce_core.h>
#include <optional>

// The command-line tool's commands, each on the update controller and the
// device link the window uses. They return the process's exit code.
namespace cli
{
enum Exit
{
    ok = 0,
    failed = 1,         // the update, read or verify did not succeed
    usage = 2,          // the command line is wrong
    noInstrument = 3,   // no instrument paired, its flash unknown, or it stopped answering
    imageRefused = 4,   // the update image did not pass its check
    declined = 5,       // a question was answered NO (or nobody could be asked)
    busy = 6,           // another update is running from the same working folder
    twoInstruments = 7, // two or more instruments answered and none was chosen with --port
    notNewer = 8,       // the image is older than the instrument's firmware, or the same version
    interrupted = 9     // stopped by Ctrl-C or a request to end; the message tells the firmware's state
};

// The exit codes with their meaning, for the help text (one table).
struct ExitText
{
    int code;
    const char* text;
};
extern const ExitText exitTexts[10];

struct Options
{
    juce::String midi;           // port sources; empty: TAMARIND_MIDI, else "system"
    bool yes = false;            // answer every question YES
    bool log = false;            // show the log on standard error
    bool quiet = false;          // no status lines and no progress
    bool json = false;           // standard output carries JSON only
    bool force = false;          // read: replace an existing OUT
    bool allowOlder = false;     // update: write an image older than the instrument's firmware
    bool allowReinstall = false; // update: write the version the instrument already has
    int waitSeconds = 15;        // how long to look for the instrument
    juce::String workFolder;     // full path; empty: the platform's working folder (or TAMARIND_WORK_DIR)
    bool trace = false;          // every SysEx message also to Tamarind-trace.log in the working folder
    juce::String port;           // the output to pair through: its name or its number; empty: any
};

// What a command found, for --json: one document printed at the end, whose
// "exit" and "error" the caller fills in. Events (an update's progress) are
// printed at once, one JSON object per line, before it.
class Report final
{
public:
    explicit Report(bool json) : json(json) {}

    void set(const juce::Identifier& name, const juce::var& value) { fields->setProperty(name, value); }
    // Says what went wrong on standard error (and in the document); returns `code`.
    int fail(int code, const juce::String& text);
    void event(const juce::var& object) const;
    // The document: `command`, the fields, "exit" and, after a failure, "error".
    juce::String document(const juce::String& command, int exitCode) const;

    const bool json;

private:
    juce::DynamicObject::Ptr fields = new juce::DynamicObject();
    juce::String error;
};

// A byte count or address, decimal or hexadecimal with 0x; `what` names it in
// the message when it is none (negative, too large, or not a number).
std::optional<juce::int64> parseNumber(const juce::String& text, const char* what, juce::String& problem);

// Ctrl-C or a request to end, from any thread: the command's wait for the
// instrument stops at its next message, unless the flash is being written,
// where a second request is needed.
void interruptRequested();
// How many there were so far (a question waits for an answer or a change).
int interruptsSoFar();

// A command stopped by interruptRequested, with what the instrument was left
// with; thrown out of the command, so that its session is closed on the way.
struct Interrupted
{
    bool wrote = false;     // this run erased or programmed the flash
    bool repairing = false; // this run was the repair of an earlier, interrupted update
    bool lockLeft = false;  // the lock of an unfinished update lies in the working folder
    juce::String workFolder;
};
// Says what became of the instrument's firmware; returns `interrupted`.
int reportInterruption(const Interrupted& what, Report& report);

int ports(const Options& options, const juce::StringArray& words, Report& report);
int info(const Options& options, const juce::StringArray& words, Report& report);
int update(const Options& options, const juce::StringArray& words, Report& report);
int read(const Options& options, const juce::StringArray& words, Report& report);
int verify(const Options& options, const juce::StringArray& words, Report& report);
int history(const Options& options, const juce::StringArray& words, Report& report);
} // namespace cli
