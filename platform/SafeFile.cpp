#include "platform/SafeFile.h"

#if JUCE_WINDOWS
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform
{
namespace
{
#if JUCE_WINDOWS
HANDLE asHandle(juce::int64 h)
{
    return reinterpret_cast<HANDLE>((intptr_t)h);
}

// The kind of an open file; with FILE_FLAG_OPEN_REPARSE_POINT a link is itself.
FileKind kindOfHandle(HANDLE h, juce::int64* size, DWORD* links)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK)
        return GetFileType(h) == FILE_TYPE_PIPE ? FileKind::fifo : FileKind::device;
    if (!GetFileInformationByHandle(h, &info))
        return FileKind::other;
    if (links != nullptr)
        *links = info.nNumberOfLinks;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return FileKind::symbolicLink;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return FileKind::folder;
    if (size != nullptr)
        *size = ((juce::int64)info.nFileSizeHigh << 32) | info.nFileSizeLow;
    return FileKind::regular;
}

HANDLE openExisting(const juce::String& path, DWORD access, bool followLinks)
{
    return CreateFileW(path.toWideCharPointer(), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                       nullptr);
}
#else
FileKind kindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return FileKind::regular;
    if (S_ISDIR(mode))
        return FileKind::folder;
    if (S_ISLNK(mode))
        return FileKind::symbolicLink;
    if (S_ISFIFO(mode))
        return FileKind::fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return FileKind::device;
    if (S_ISSOCK(mode))
        return FileKind::socket;
    return FileKind::other;
}
#endif

void closeHandle(juce::int64 handle)
{
    if (handle < 0)
        return;
#if JUCE_WINDOWS
    CloseHandle(asHandle(handle));
#else
    ::close((int)handle);
#endif
}

bool seekTo(juce::int64 handle, juce::int64 newPosition, juce::int64& position)
{
    if (newPosition < 0)
        return false;
#if JUCE_WINDOWS
    LARGE_INTEGER to;
    to.QuadPart = newPosition;
    if (!SetFilePointerEx(asHandle(handle), to, nullptr, FILE_BEGIN))
        return false;
#else
    if (::lseek((int)handle, (off_t)newPosition, SEEK_SET) != (off_t)newPosition)
        return false;
#endif
    position = newPosition;
    return true;
}
} // namespace

const char* describeKind(FileKind kind)
{
    switch (kind)
    {
    case FileKind::missing:
        return "missing";
    case FileKind::regular:
        return "a regular file";
    case FileKind::folder:
        return "a folder";
    case FileKind::symbolicLink:
        return "a symbolic link";
    case FileKind::fifo:
        return "a FIFO";
    case FileKind::device:
        return "a device";
    case FileKind::socket:
        return "a socket";
    default:
        return "not a regular file";
    }
}

juce::String printablePath(const juce::String& path)
{
    juce::String text;
    for (auto p = path.getCharPointer(); !p.isEmpty(); ++p)
        text += juce::String::charToString(*p < 0x20 || *p == 0x7F ? (juce::juce_wchar)'?' : *p);
    return text;
}

juce::String refusal(const juce::String& path, const char* why)
{
    return "Refused " + printablePath(path) + ": " + why;
}

FileKind inspectFile(const juce::String& path, bool followLinks, juce::int64* size)
{
    if (size != nullptr)
        *size = 0;
    if (!juce::File::isAbsolutePath(path))
        return FileKind::missing;
#if JUCE_WINDOWS
    const HANDLE h = openExisting(path, FILE_READ_ATTRIBUTES, followLinks);
    if (h == INVALID_HANDLE_VALUE)
        return FileKind::missing;
    const auto kind = kindOfHandle(h, size, nullptr);
    CloseHandle(h);
    return kind;
#else
    struct stat st;
    if ((followLinks ? ::stat(path.toRawUTF8(), &st) : ::lstat(path.toRawUTF8(), &st)) != 0)
        return FileKind::missing;
    if (size != nullptr && S_ISREG(st.st_mode))
        *size = (juce::int64)st.st_size;
    return kindOf(st.st_mode);
#endif
}

// ---- reading ---------------------------------------------------------------------

std::unique_ptr<RegularFileInput> RegularFileInput::open(const juce::String& path, bool followLinks,
                                                         juce::String& problem)
{
    problem.clear();
    if (!juce::File::isAbsolutePath(path))
        return nullptr;
    // The kind is checked before opening, so that nothing else is ever opened,
    // and again on what was opened, in case the path changed in between.
    const auto before = inspectFile(path, followLinks);
    if (before != FileKind::regular && before != FileKind::missing)
    {
        problem = refusal(path, describeKind(before));
        return nullptr;
    }
    std::unique_ptr<RegularFileInput> in(new RegularFileInput());
#if JUCE_WINDOWS
    const HANDLE h = openExisting(path, GENERIC_READ, followLinks);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    in->handle = (juce::int64)(intptr_t)h;
    const auto kind = kindOfHandle(h, &in->size, nullptr);
#else
    const int fd =
        ::open(path.toRawUTF8(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0)
    {
        if (errno == ELOOP && !followLinks)
            problem = refusal(path, describeKind(FileKind::symbolicLink));
        return nullptr;
    }
    in->handle = fd;
    struct stat st;
    const auto kind = ::fstat(fd, &st) == 0 ? kindOf(st.st_mode) : FileKind::other;
    in->size = kind == FileKind::regular ? (juce::int64)st.st_size : 0;
#endif
    if (kind != FileKind::regular)
    {
        problem = refusal(path, describeKind(kind));
        return nullptr;
    }
    return in;
}

RegularFileInput::~RegularFileInput()
{
    closeHandle(handle);
}

int RegularFileInput::read(void* destination, int bytes)
{
    int done = 0;
    while (done < bytes)
    {
#if JUCE_WINDOWS
        DWORD got = 0;
        if (!ReadFile(asHandle(handle), static_cast<char*>(destination) + done, (DWORD)(bytes - done), &got,
                      nullptr))
        {
            readFailed = true;
            break;
        }
        const auto n = (juce::int64)got;
#else
        const auto n =
            (juce::int64)::read((int)handle, static_cast<char*>(destination) + done, (size_t)(bytes - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
        {
            readFailed = true;
            break;
        }
#endif
        if (n == 0)
            break;
        done += (int)n;
    }
    position += done;
    return done;
}

bool RegularFileInput::setPosition(juce::int64 newPosition)
{
    return seekTo(handle, newPosition, position);
}

// ---- writing ---------------------------------------------------------------------

std::unique_ptr<WorkingFileOutput> WorkingFileOutput::create(const juce::String& path, juce::String& problem,
                                                             bool append)
{
    problem.clear();
    if (!juce::File::isAbsolutePath(path))
        return nullptr;
    std::unique_ptr<WorkingFileOutput> out(new WorkingFileOutput());
    unsigned long links = 1;
#if JUCE_WINDOWS
    const HANDLE h = CreateFileW(path.toWideCharPointer(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        const auto kind = inspectFile(path, false);
        if (kind != FileKind::missing && kind != FileKind::regular)
            problem = refusal(path, describeKind(kind));
        return nullptr;
    }
    out->handle = (juce::int64)(intptr_t)h;
    DWORD count = 1;
    const auto kind = kindOfHandle(h, nullptr, &count);
    links = count;
    const bool otherOwner = false; // the folder is the user's own (%LOCALAPPDATA%)
#else
    // No O_TRUNC: nothing is cut before the file is known to be ours.
    const int fd = ::open(path.toRawUTF8(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
    {
        const auto kind = inspectFile(path, false);
        if (kind != FileKind::missing && kind != FileKind::regular)
            problem = refusal(path, describeKind(kind));
        return nullptr;
    }
    out->handle = fd;
    struct stat st;
    const auto kind = ::fstat(fd, &st) == 0 ? kindOf(st.st_mode) : FileKind::other;
    links = kind == FileKind::regular ? (unsigned long)st.st_nlink : 1;
    const bool otherOwner = kind == FileKind::regular && st.st_uid != ::geteuid();
#endif
    if (kind != FileKind::regular)
        problem = refusal(path, describeKind(kind));
    else if (links > 1)
        problem = refusal(path, "it has other names (hard links)");
    else if (otherOwner)
        problem = refusal(path, "it belongs to another user");
    if (problem.isNotEmpty())
        return nullptr;
#if !JUCE_WINDOWS
    if ((st.st_mode & 07777) != 0600)
        ::fchmod(fd, 0600);
#endif
    if (append)
        return out->setPosition(out->getSize()) ? std::move(out) : nullptr;
#if JUCE_WINDOWS
    if (!SetEndOfFile(h))
        return nullptr;
#else
    if (::ftruncate(fd, 0) != 0)
        return nullptr;
#endif
    return out;
}

WorkingFileOutput::~WorkingFileOutput()
{
    closeHandle(handle);
}

bool WorkingFileOutput::setPosition(juce::int64 newPosition)
{
    return seekTo(handle, newPosition, position);
}

bool WorkingFileOutput::write(const void* data, size_t bytes)
{
    if (status.failed())
        return false;
    size_t done = 0;
    while (done < bytes)
    {
#if JUCE_WINDOWS
        DWORD wrote = 0;
        const auto chunk = (DWORD)juce::jmin<size_t>(bytes - done, 0x40000000);
        if (!WriteFile(asHandle(handle), static_cast<const char*>(data) + done, chunk, &wrote, nullptr) ||
            wrote == 0)
        {
            status = juce::Result::fail("error " + juce::String((juce::int64)GetLastError()));
            return false;
        }
        const auto n = (juce::int64)wrote;
#else
        const auto n = (juce::int64)::write((int)handle, static_cast<const char*>(data) + done, bytes - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            status = juce::Result::fail(n < 0 ? juce::String(std::strerror(errno))
                                              : juce::String("nothing written"));
            return false;
        }
#endif
        done += (size_t)n;
        position += n;
    }
    return true;
}

juce::int64 WorkingFileOutput::getSize() const
{
#if JUCE_WINDOWS
    LARGE_INTEGER size;
    return GetFileSizeEx(asHandle(handle), &size) ? (juce::int64)size.QuadPart : -1;
#else
    struct stat st;
    return ::fstat((int)handle, &st) == 0 ? (juce::int64)st.st_size : -1;
#endif
}

// ---- removing and folders -----------------------------------------------------------

bool removeWorkingFile(const juce::String& path, juce::String& problem)
{
    problem.clear();
    if (!juce::File::isAbsolutePath(path))
        return false;
    const auto kind = inspectFile(path, false);
    if (kind == FileKind::missing)
        return true;
    if (kind != FileKind::regular)
    {
        problem = refusal(path, describeKind(kind));
        return false;
    }
    // Removing a name never follows a link, so a swap after the check above
    // removes at worst the link itself.
#if JUCE_WINDOWS
    return DeleteFileW(path.toWideCharPointer()) || GetLastError() == ERROR_FILE_NOT_FOUND;
#else
    return ::unlink(path.toRawUTF8()) == 0 || errno == ENOENT;
#endif
}

bool isPrivate(const juce::String& path, juce::String& problem)
{
    problem.clear();
#if JUCE_WINDOWS
    juce::ignoreUnused(path);
    return true;
#else
    struct stat st;
    if (::lstat(path.toRawUTF8(), &st) != 0)
        return errno == ENOENT;
    if (st.st_uid != ::geteuid())
        problem = refusal(path, "it belongs to another user");
    else if (!S_ISLNK(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        problem = refusal(path, "other users can write to it");
    return problem.isEmpty();
#endif
}

bool createPrivateFolder(const juce::File& folder)
{
    if (folder.isDirectory())
        return true;
    const auto parent = folder.getParentDirectory();
    if (!parent.isDirectory() && !parent.createDirectory())
        return false;
#if JUCE_WINDOWS
    // The working folder lies in the user's own profile, whose permissions it inherits.
    return folder.createDirectory().wasOk();
#else
    return ::mkdir(folder.getFullPathName().toRawUTF8(), 0700) == 0 || folder.isDirectory();
#endif
}
} // namespace platform
