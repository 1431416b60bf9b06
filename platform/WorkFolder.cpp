#include "platform/WorkFolder.h"
#include "platform/SafeFile.h"

#if JUCE_WINDOWS
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace platform
{
juce::File workingFolder()
{
    juce::File folder;
    const auto overridePath = juce::SystemStats::getEnvironmentVariable("TAMARIND_WORK_DIR", {});
    if (overridePath.isNotEmpty())
        folder = juce::File(overridePath);
    else
    {
#if JUCE_WINDOWS
        folder = juce::File::getSpecialLocation(juce::File::tempDirectory);
#else
        auto stateHome = juce::SystemStats::getEnvironmentVariable("XDG_STATE_HOME", {});
        juce::File base =
            stateHome.isNotEmpty() && juce::File::isAbsolutePath(stateHome)
                ? juce::File(stateHome)
                : juce::File::getSpecialLocation(juce::File::userHomeDirectory).getChildFile(".local/state");
        folder = base.getChildFile("Tamarind");
#endif
    }
    createPrivateFolder(folder);
    return folder;
}

juce::String workingFilePath(const char* nameWithSlash)
{
    return workingFolder().getFullPathName() + juce::String(nameWithSlash);
}

juce::String programFolderOf(const juce::String& executablePath)
{
    // Cut just after the last separator of either kind.
    const int slash = juce::jmax(executablePath.lastIndexOfChar('/'), executablePath.lastIndexOfChar('\\'));
    if (slash < 0)
        return {};
    return executablePath.substring(0, slash + 1);
}

juce::String currentProgramFolder()
{
    return programFolderOf(
        juce::File::getSpecialLocation(juce::File::currentExecutableFile).getFullPathName());
}

static std::function<void(const juce::File&, bool)>& syncObserver()
{
    static std::function<void(const juce::File&, bool)> observer;
    return observer;
}

void setSyncObserver(std::function<void(const juce::File&, bool)> observer)
{
    syncObserver() = std::move(observer);
}

static bool syncFileData(const juce::File& file);

bool syncFileToDisk(const juce::File& file)
{
    const bool ok = syncFileData(file);
    if (syncObserver())
        syncObserver()(file, ok);
    return ok;
}

static bool syncFileData(const juce::File& file)
{
#if JUCE_WINDOWS
    HANDLE h = CreateFileW(file.getFullPathName().toWideCharPointer(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = FlushFileBuffers(h) != 0;
    CloseHandle(h);
    return ok;
#else
    // Never through a link, and never waiting for a FIFO put in the file's place.
    const int fd = ::open(file.getFullPathName().toRawUTF8(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    const int dirFd =
        ::open(file.getParentDirectory().getFullPathName().toRawUTF8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0)
    {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return ok;
#endif
}
} // namespace platform
