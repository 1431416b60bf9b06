#pragma once
#include "core/Vocabulary.h"
#include <juce_core/juce_core.h>

class Communication;

// One queued device job and its parameters.
struct OperationRecord
{
    enum Code
    {
        None = 1,
        SendDriver = 2,
        TestFlash = 3,
        EraseFromFile = 4,
        EraseBuffer = 5,
        ProgramFromFile = 6,
        ProgramFromBuffer = 7,
        ReadToFile = 8,
        CompareFiles = 9,
        ReadVersion = 10,
        SaveIoStatus = 11,
        LockFile = 12,
        ConfirmRead = 13,
        CheckBackup = 14
    };

    int op = 0;
    const juce::uint8* image = nullptr; // driver image, data to program, or the written side of a compare
    int imageLength = 0;
    char name[18] = {}; // driver name shown in the log
    char mcuName[18] = {};
    char flashName[18] = {};
    juce::String path, path2; // file; second file of a compare
    int page = 0;
    juce::int64 fileOffset = 0, flashOffset = 0, length = 0;
    float shareStart = 0, shareEnd = 0;
    int mode = 0;

    bool operator==(const OperationRecord& other) const;
};

// The jobs, each made in one place. Progress shares are percent of the bar.
namespace jobs
{
OperationRecord sendDriver(const juce::uint8* image, int length, const char* name, float shareStart,
                           float shareEnd);
OperationRecord testFlash(const char* mcuName, const char* flashName, const juce::uint8* image, int length);
OperationRecord eraseFromFile(const juce::String& path, int page, juce::int64 fileOffset,
                              juce::int64 flashOffset, juce::int64 length, float shareStart, float shareEnd);
// Erases the sectors that `length` bytes programmed from memory at `flashOffset` (page 0) will fill.
OperationRecord eraseForBuffer(juce::int64 flashOffset, juce::int64 length, float shareStart, float shareEnd);
OperationRecord programFromFile(const juce::String& path, int page, juce::int64 fileOffset,
                                juce::int64 flashOffset, juce::int64 length, float shareStart,
                                float shareEnd);
OperationRecord programFromBuffer(const juce::uint8* data, juce::int64 flashOffset, juce::int64 length,
                                  float shareStart, float shareEnd);
OperationRecord readToFile(const juce::String& path, int page, juce::int64 flashOffset, juce::int64 length,
                           float shareStart, float shareEnd);
OperationRecord compareFiles(const juce::String& writtenPath, juce::int64 fileOffset,
                             const juce::String& readBackPath);
// A compare whose written side is `length` bytes in memory.
OperationRecord compareWithBuffer(const juce::uint8* data, juce::int64 length,
                                  const juce::String& readBackPath);
OperationRecord readVersion(const juce::String& path);
OperationRecord saveIoStatus();
OperationRecord lockFile(const juce::String& path, LockMode mode);
// Waits for a quiet link and fails if data arrived after the last read ended.
OperationRecord confirmRead();
// Fails unless the data region read into `regionPath` fits the backup.
OperationRecord checkBackup(const juce::String& backupPath, const juce::String& regionPath);

// The kind of a job as logs and tables name it ("driver upload", "read", ...).
const char* name(int op);
// Starts the job on the link; false for a code that names no job.
bool start(Communication& link, const OperationRecord& record);
} // namespace jobs
