#include "platform/FolderLock.h"
#include "platform/SafeFile.h"

#if JUCE_WINDOWS
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform
{
std::unique_ptr<FolderLock> FolderLock::take(const juce::String& path, Result& result, juce::String& problem)
{
    result = Result::failed;
#if JUCE_WINDOWS
    // A link or junction in the file's place is opened as itself, never followed.
    HANDLE h = CreateFileW(path.toWideCharPointer(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        problem = refusal(path, "cannot be opened");
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
    {
        CloseHandle(h);
        problem = refusal(path, "not a regular file");
        return nullptr;
    }
    OVERLAPPED where{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where))
    {
        const DWORD error = GetLastError();
        CloseHandle(h);
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)
            result = Result::busy;
        else
            problem = refusal(path, "cannot be locked");
        return nullptr;
    }
    result = Result::taken;
    return std::unique_ptr<FolderLock>(new FolderLock((juce::int64)(std::intptr_t)h));
#else
    const int fd = ::open(path.toRawUTF8(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
    {
        problem = refusal(path, errno == ELOOP ? "a symbolic link" : "cannot be opened");
        return nullptr;
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        ::close(fd);
        problem = refusal(path, "not a regular file");
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            result = Result::busy;
        else
            problem = refusal(path, "cannot be locked");
        return nullptr;
    }
    result = Result::taken;
    return std::unique_ptr<FolderLock>(new FolderLock(fd));
#endif
}

FolderLock::~FolderLock()
{
    // Closing the file releases the lock.
#if JUCE_WINDOWS
    CloseHandle((HANDLE)(std::intptr_t)handle);
#else
    ::close((int)handle);
#endif
}
} // namespace platform
