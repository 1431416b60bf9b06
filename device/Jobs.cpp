#include "device/Jobs.h"
#include "device/Communication.h"
#include <cstring>

bool OperationRecord::operator==(const OperationRecord& o) const
{
    return op == o.op && image == o.image && imageLength == o.imageLength && std::strcmp(name, o.name) == 0 &&
           std::strcmp(mcuName, o.mcuName) == 0 && std::strcmp(flashName, o.flashName) == 0 &&
           path == o.path && path2 == o.path2 && page == o.page && fileOffset == o.fileOffset &&
           flashOffset == o.flashOffset && length == o.length && shareStart == o.shareStart &&
           shareEnd == o.shareEnd && mode == o.mode;
}

namespace jobs
{
namespace
{
// Names are kept to 17 characters, as the records hold them.
void copyName(char dest[18], const char* src)
{
    std::memset(dest, 0, 18);
    if (src != nullptr)
        std::strncpy(dest, src, 17);
}

OperationRecord record(int op, float shareStart = 0, float shareEnd = 0)
{
    OperationRecord r;
    r.op = op;
    r.shareStart = shareStart;
    r.shareEnd = shareEnd;
    return r;
}

OperationRecord fileRange(int op, const juce::String& path, int page, juce::int64 fileOffset,
                          juce::int64 flashOffset, juce::int64 length, float s, float e)
{
    auto r = record(op, s, e);
    r.path = path;
    r.page = page;
    r.fileOffset = fileOffset;
    r.flashOffset = flashOffset;
    r.length = length;
    return r;
}

// What starts each kind of job on the link, and its name.
struct Kind
{
    int op;
    const char* name;
    void (*start)(Communication&, const OperationRecord&);
};

const Kind kinds[] = {
    {OperationRecord::SendDriver, "driver upload",
     [](Communication& c, const OperationRecord& r)
     { c.sendFlashDriver(r.image, r.imageLength, r.name, r.shareStart, r.shareEnd); }},
    {OperationRecord::TestFlash, "flash test",
     [](Communication& c, const OperationRecord& r) { c.testFlash(0, r.flashName, true); }},
    {OperationRecord::EraseFromFile, "erase run (file)",
     [](Communication& c, const OperationRecord& r)
     { c.eraseRange(r.path, r.page, r.flashOffset, r.length, r.fileOffset, r.shareStart, r.shareEnd); }},
    {OperationRecord::EraseBuffer, "erase run (buffer)",
     [](Communication& c, const OperationRecord& r)
     { c.eraseRange(Communication::bufferPath, 0, r.flashOffset, r.length, 0, r.shareStart, r.shareEnd); }},
    {OperationRecord::ProgramFromFile, "program from file",
     [](Communication& c, const OperationRecord& r)
     { c.programFile(r.path, r.page, r.fileOffset, r.flashOffset, r.length, r.shareStart, r.shareEnd); }},
    {OperationRecord::ProgramFromBuffer, "program from memory",
     [](Communication& c, const OperationRecord& r)
     { c.programBuffer(r.image, 0, r.flashOffset, r.length, r.shareStart, r.shareEnd); }},
    {OperationRecord::ReadToFile, "read",
     [](Communication& c, const OperationRecord& r)
     { c.readToFile(r.path, r.page, r.flashOffset, r.length, r.shareStart, r.shareEnd); }},
    {OperationRecord::CompareFiles, "compare",
     [](Communication& c, const OperationRecord& r)
     {
         if (r.image != nullptr)
             c.compareBuffer(r.image, r.length, r.path2);
         else
             c.compareFiles(r.path, r.fileOffset, r.path2);
     }},
    {OperationRecord::ReadVersion, "version",
     [](Communication& c, const OperationRecord& r) { c.postVersionFromFile(r.path); }},
    {OperationRecord::SaveIoStatus, "save I/O status",
     [](Communication& c, const OperationRecord&) { c.testFlash(0, "Save_IO_Sta"); }},
    {OperationRecord::LockFile, "lock file",
     [](Communication& c, const OperationRecord& r) { c.writeLockFile(r.path, r.mode); }},
    {OperationRecord::ConfirmRead, "read check",
     [](Communication& c, const OperationRecord&) { c.confirmReadSettled(); }},
    {OperationRecord::CheckBackup, "backup check",
     [](Communication& c, const OperationRecord& r) { c.checkBackupFits(r.path, r.path2); }},
};

const Kind* kindOf(int op)
{
    for (auto& k : kinds)
        if (k.op == op)
            return &k;
    return nullptr;
}
} // namespace

OperationRecord sendDriver(const juce::uint8* image, int length, const char* driverName, float s, float e)
{
    auto r = record(OperationRecord::SendDriver, s, e);
    r.image = image;
    r.imageLength = length;
    copyName(r.name, driverName);
    return r;
}

OperationRecord testFlash(const char* mcuName, const char* flashName, const juce::uint8* image, int length)
{
    auto r = record(OperationRecord::TestFlash);
    copyName(r.mcuName, mcuName);
    copyName(r.flashName, flashName);
    r.image = image;
    r.imageLength = length;
    return r;
}

OperationRecord eraseFromFile(const juce::String& path, int page, juce::int64 fileOffset,
                              juce::int64 flashOffset, juce::int64 length, float s, float e)
{
    return fileRange(OperationRecord::EraseFromFile, path, page, fileOffset, flashOffset, length, s, e);
}

OperationRecord eraseForBuffer(juce::int64 flashOffset, juce::int64 length, float s, float e)
{
    return fileRange(OperationRecord::EraseBuffer, {}, 0, 0, flashOffset, length, s, e);
}

OperationRecord programFromFile(const juce::String& path, int page, juce::int64 fileOffset,
                                juce::int64 flashOffset, juce::int64 length, float s, float e)
{
    return fileRange(OperationRecord::ProgramFromFile, path, page, fileOffset, flashOffset, length, s, e);
}

OperationRecord programFromBuffer(const juce::uint8* data, juce::int64 flashOffset, juce::int64 length,
                                  float s, float e)
{
    auto r = fileRange(OperationRecord::ProgramFromBuffer, {}, 0, 0, flashOffset, length, s, e);
    r.image = data;
    return r;
}

OperationRecord readToFile(const juce::String& path, int page, juce::int64 flashOffset, juce::int64 length,
                           float s, float e)
{
    return fileRange(OperationRecord::ReadToFile, path, page, 0, flashOffset, length, s, e);
}

OperationRecord compareFiles(const juce::String& writtenPath, juce::int64 fileOffset,
                             const juce::String& readBackPath)
{
    auto r = record(OperationRecord::CompareFiles);
    r.path = writtenPath;
    r.fileOffset = fileOffset;
    r.path2 = readBackPath;
    return r;
}

OperationRecord compareWithBuffer(const juce::uint8* data, juce::int64 length,
                                  const juce::String& readBackPath)
{
    auto r = compareFiles({}, 0, readBackPath);
    r.image = data;
    r.length = length;
    return r;
}

OperationRecord readVersion(const juce::String& path)
{
    auto r = record(OperationRecord::ReadVersion);
    r.path = path;
    return r;
}

OperationRecord confirmRead()
{
    return record(OperationRecord::ConfirmRead);
}

OperationRecord checkBackup(const juce::String& backupPath, const juce::String& regionPath)
{
    auto r = record(OperationRecord::CheckBackup);
    r.path = backupPath;
    r.path2 = regionPath;
    return r;
}

OperationRecord saveIoStatus()
{
    return record(OperationRecord::SaveIoStatus);
}

OperationRecord lockFile(const juce::String& path, LockMode mode)
{
    auto r = record(OperationRecord::LockFile);
    r.path = path;
    r.mode = (int)mode;
    return r;
}

const char* name(int op)
{
    const auto* k = kindOf(op);
    return k != nullptr ? k->name : "other";
}

bool start(Communication& link, const OperationRecord& record)
{
    const auto* k = kindOf(record.op);
    if (k == nullptr)
        return false;
    k->start(link, record);
    return true;
}
} // namespace jobs
