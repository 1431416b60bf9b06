#pragma once
#include <juce_core/juce_core.h>
#include <vector>

// The update history: one record for every update and repair that started
// writing to a piano, whatever its end, as one JSON object a line in
// "history.jsonl" in the working folder. The file is kept to about
// kMaxFileBytes, the one before it as "history.jsonl.1".
namespace history
{
constexpr const char* kFileName = "history.jsonl";
constexpr juce::int64 kMaxFileBytes = 256 * 1024;
// Reading refuses a file larger than this (it was not written by append).
constexpr juce::int64 kMaxReadBytes = 1024 * 1024;

struct Record
{
    juce::Time start, end;
    juce::String program;                     // this program's version
    juce::String input, output;               // the paired port names
    juce::String flash;                       // flash model
    juce::String versionBefore, versionAfter; // the piano's firmware versions ("": unknown or none)
    juce::String image, imageMd5;             // the image's path and the MD5 of the bytes written
    juce::String path;                        // "safe", "plain" or "repair"
    juce::String result;                      // the status line the update ended with
    bool ok = false;                          // ended well
    double seconds = 0;                       // duration
};

// One JSON object; times in ISO 8601 with their offset from UTC.
juce::var toVar(const Record& record);
// False when `value` is not a record (not an object, a key missing or of the wrong type).
bool fromVar(const juce::var& value, Record& record);
// One line for people: start time, result, path, versions before and after,
// flash, ports and duration. Control characters from outside (port names,
// the result) become "?", so the text never breaks into a second line.
juce::String describe(const Record& record);

// Appends `record` as one line to FOLDER/history.jsonl, which is created with
// mode 0600 when missing; a link, a FIFO, a device or another user's file in
// its place is refused. A file that would grow beyond kMaxFileBytes first
// becomes history.jsonl.1 (replacing the one there). Returns what went
// wrong, empty when the record was written.
juce::String append(const juce::File& folder, const Record& record);

struct Reading
{
    std::vector<Record> records; // oldest first
    int badLines = 0;            // lines that were not records (skipped)
    juce::String problem;        // a line for each file refused; empty when none was
};
// The records of history.jsonl.1 and then history.jsonl in `folder`. Only
// regular files (never through a link) of at most kMaxReadBytes are read.
Reading read(const juce::File& folder);
} // namespace history
