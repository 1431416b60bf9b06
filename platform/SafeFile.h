#pragma once
#include <juce_core/juce_core.h>
#include <memory>

// Opening files that the program does not control: the update image, a file
// the user chose, and the working files (lock, backup, read-back, version).
// Nothing here blocks on a FIFO or a device, follows a symbolic link unless
// asked to, or writes through one.
namespace platform
{
enum class FileKind
{
    missing,
    regular,
    folder,
    symbolicLink,
    fifo,
    device,
    socket,
    other
};

// What is at `path`. A symbolic link is reported as one unless `followLinks`.
// `size` (may be null) receives a regular file's size.
FileKind inspectFile(const juce::String& path, bool followLinks, juce::int64* size = nullptr);

// "a symbolic link", "a folder", "a FIFO", ... for log lines.
const char* describeKind(FileKind kind);

// A path for a log line: control characters (a newline in a folder's name
// would forge a line of its own) become "?".
juce::String printablePath(const juce::String& path);
// "Refused PATH: WHY", the log line of a refused file.
juce::String refusal(const juce::String& path, const char* why);

// A regular file opened for reading. What is not a regular file (after
// following a symbolic link, when `followLinks`) is refused before it is
// opened, and the opening itself never waits.
class RegularFileInput final : public juce::InputStream
{
public:
    // nullptr when the file cannot be opened or is refused. A refusal sets
    // `problem` ("Refused PATH: a FIFO"); it stays empty when the file is
    // missing or cannot be opened for any ordinary reason.
    static std::unique_ptr<RegularFileInput> open(const juce::String& path, bool followLinks,
                                                  juce::String& problem);
    ~RegularFileInput() override;

    juce::int64 getTotalLength() override { return size; } // the size when opened
    bool isExhausted() override { return position >= size; }
    int read(void* destination, int bytes) override;
    juce::int64 getPosition() override { return position; }
    bool setPosition(juce::int64 newPosition) override;
    bool failed() const { return readFailed; }

private:
    RegularFileInput() = default;
    juce::int64 handle = -1, size = 0, position = 0;
    bool readFailed = false;
};

// A working file opened for writing and emptied. It is created with mode 0600
// when missing; a symbolic link, a folder, a FIFO, a device, a file with other
// names (hard links) or another user's file in its place is refused and left
// as it is, with `problem` set as for reading. Writes go straight to the file.
class WorkingFileOutput final : public juce::OutputStream
{
public:
    // `append`: kept as it is, written at its end.
    static std::unique_ptr<WorkingFileOutput> create(const juce::String& path, juce::String& problem,
                                                     bool append = false);
    ~WorkingFileOutput() override;

    void flush() override {}
    bool setPosition(juce::int64 newPosition) override;
    juce::int64 getPosition() override { return position; }
    bool write(const void* data, size_t bytes) override;
    juce::Result getStatus() const { return status; }
    juce::int64 getSize() const; // the size on disk now

private:
    WorkingFileOutput() = default;
    juce::int64 handle = -1, position = 0;
    juce::Result status = juce::Result::ok();
};

// Removes a working file. A missing file counts as removed; anything but a
// regular file is refused and left in place, with `problem` saying why; it
// stays empty when removing fails for an ordinary reason.
bool removeWorkingFile(const juce::String& path, juce::String& problem);

// Whether a working folder or file at `path` is the user's alone: owned by
// this user and writable by nobody else (a missing file counts as such).
// Otherwise `problem` says why ("Refused PATH: it belongs to another user").
// Another user who can write to the folder could replace the backup or the
// lock between two runs. On Windows the per-user folder's permissions hold.
bool isPrivate(const juce::String& path, juce::String& problem);

// Creates `folder` when missing, itself with mode 0700 (only the user may look
// into it); missing parents are created as usual.
bool createPrivateFolder(const juce::File& folder);
} // namespace platform
