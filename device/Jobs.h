#pragma once
#include "core/Vocabulary.h"
#include <juce_core/juce_core.h>
#include <variant>

class Communication;

// The device jobs, one struct per kind carrying exactly its own parameters.
// Each kind's name, start and weight live in device/jobs/<Kind>.cpp: a new
// kind is its struct and its alternative here, and that one file.
// Progress shares are percent of the bar.
namespace jobs
{
// Every kind has `name` (as logs and tables name it) and `start`; `weight`
// (the bytes it moves, for the steady bar) only where it moves some.

struct SendDriver
{
    const juce::uint8* image = nullptr;
    int length = 0;
    juce::String driverName; // as the log shows it
    float shareStart = 0, shareEnd = 0;
    static const char* const name;
    void start(Communication& link) const;
    double weight() const;
};

// Tests the flash with the driver uploaded just before; the driver's names
// and image say which flash passed.
struct TestFlash
{
    juce::String mcuName, flashName;
    const juce::uint8* image = nullptr;
    int length = 0;
    static const char* const name;
    void start(Communication& link) const;
};

// A range of a file worked onto the flash: the sectors it will fill erased,
// or the range programmed. Both kinds take the same parameters; each has its
// own name, start and weight (device/jobs/EraseFromFile.cpp, ProgramFromFile.cpp).
enum class FileWork
{
    erase,
    program
};
template <FileWork> struct FromFile
{
    juce::String path;
    int page = 0;
    juce::int64 fileOffset = 0, flashOffset = 0, length = 0;
    float shareStart = 0, shareEnd = 0;
    static const char* const name;
    void start(Communication& link) const;
    double weight() const;
};
using EraseFromFile = FromFile<FileWork::erase>;
using ProgramFromFile = FromFile<FileWork::program>;
template <> const char* const FromFile<FileWork::erase>::name;
template <> void FromFile<FileWork::erase>::start(Communication& link) const;
template <> double FromFile<FileWork::erase>::weight() const;
template <> const char* const FromFile<FileWork::program>::name;
template <> void FromFile<FileWork::program>::start(Communication& link) const;
template <> double FromFile<FileWork::program>::weight() const;

// Erases the sectors that `length` bytes programmed from memory at `flashOffset` (page 0) will fill.
struct EraseForBuffer
{
    juce::int64 flashOffset = 0, length = 0;
    float shareStart = 0, shareEnd = 0;
    static const char* const name;
    void start(Communication& link) const;
    double weight() const;
};

struct ProgramFromBuffer
{
    const juce::uint8* data = nullptr;
    juce::int64 flashOffset = 0, length = 0;
    float shareStart = 0, shareEnd = 0;
    static const char* const name;
    void start(Communication& link) const;
    double weight() const;
};

struct ReadToFile
{
    juce::String path;
    int page = 0;
    juce::int64 flashOffset = 0, length = 0;
    float shareStart = 0, shareEnd = 0;
    static const char* const name;
    void start(Communication& link) const;
    double weight() const;
};

struct CompareFiles
{
    juce::String writtenPath;
    juce::int64 fileOffset = 0;
    juce::String readBackPath;
    static const char* const name;
    void start(Communication& link) const;
};

// A compare whose written side is `length` bytes in memory.
struct CompareWithBuffer
{
    const juce::uint8* data = nullptr;
    juce::int64 length = 0;
    juce::String readBackPath;
    static const char* const name;
    void start(Communication& link) const;
};

// Ends with EvVersionRead rather than EvStepDone.
struct ReadVersion
{
    juce::String path;
    static const char* const name;
    void start(Communication& link) const;
};

struct SaveIoStatus
{
    static const char* const name;
    void start(Communication& link) const;
};

struct LockFile
{
    juce::String path;
    LockMode mode = LockMode::none;
    static const char* const name;
    void start(Communication& link) const;
};

// Waits for a quiet link and fails if data arrived after the last read ended.
struct ConfirmRead
{
    static const char* const name;
    void start(Communication& link) const;
};

// Fails unless the data region read into `regionPath` fits the backup.
struct CheckBackup
{
    juce::String backupPath, regionPath;
    static const char* const name;
    void start(Communication& link) const;
};

} // namespace jobs

// One queued device job.
using OperationRecord =
    std::variant<jobs::SendDriver, jobs::TestFlash, jobs::EraseFromFile, jobs::EraseForBuffer,
                 jobs::ProgramFromFile, jobs::ProgramFromBuffer, jobs::ReadToFile, jobs::CompareFiles,
                 jobs::CompareWithBuffer, jobs::ReadVersion, jobs::SaveIoStatus, jobs::LockFile,
                 jobs::ConfirmRead, jobs::CheckBackup>;

namespace jobs
{
// The kind of a job as logs and tables name it ("driver upload", "read", ...).
const char* name(const OperationRecord& job);
// Starts the job on the link; its end is posted as EvStepDone (EvVersionRead
// for ReadVersion).
void start(Communication& link, const OperationRecord& job);
// Whether the job erases or programs the flash: once such a job has started,
// the instrument's firmware is no longer what it was until the list ends.
bool writesFlash(const OperationRecord& job);
// What a job moves, in bytes, for the steady bar; jobs that move nothing
// count as one block, so that a list of such jobs still climbs.
double weight(const OperationRecord& job);

template <typename Kind> bool is(const OperationRecord& job)
{
    return std::holds_alternative<Kind>(job);
}
} // namespace jobs
