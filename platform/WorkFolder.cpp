#include "platform/WorkFolder.h"
#include "platform/SafeFile.h"
#include "platform/WorkingFiles.h"

#if JUCE_WINDOWS
#include <windows.h>
// The shell's folder call, after the types of <windows.h>.
#include <shlobj.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace platform
{
#if JUCE_WINDOWS
namespace
{
juce::File localAppData()
{
    const auto fromEnvironment = juce::SystemStats::getEnvironmentVariable("LOCALAPPDATA", {});
    if (fromEnvironment.isNotEmpty() && juce::File::isAbsolutePath(fromEnvironment))
        return juce::File(fromEnvironment);
    wchar_t path[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK)
        return juce::File(juce::String(path));
    return juce::File::getSpecialLocation(juce::File::userApplicationDataDirectory);
}
} // namespace
#endif

juce::File chooseWorkingFolder(const juce::File& preferred, const juce::File& earlier)
{
    const char* lock = fileName(kUpdateLockFile);
    if (!preferred.getChildFile(lock).existsAsFile() && earlier.getChildFile(lock).existsAsFile())
        return earlier;
    return preferred;
}

juce::File workingFolder()
{
    juce::File folder;
    const auto overridePath = juce::SystemStats::getEnvironmentVariable("TAMARIND_WORK_DIR", {});
    if (overridePath.isNotEmpty())
        folder = juce::File(overridePath);
    else
    {
#if JUCE_WINDOWS
        folder = chooseWorkingFolder(localAppData().getChildFile("Tamarind"),
                                     juce::File::getSpecialLocation(juce::File::tempDirectory));
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
#if JUCE_LINUX
    // The framework takes the executable's path from argv[0]: a bare name when
    // the program was found on PATH (through a link in bin/, say), which it
    // would resolve against the current folder. The kernel names the real file.
    const juce::File self("/proc/self/exe");
    if (self.isSymbolicLink())
        return programFolderOf(self.getLinkedTarget().getFullPathName());
#endif
    return programFolderOf(
        juce::File::getSpecialLocation(juce::File::currentExecutableFile).getFullPathName());
}

bool syncFileToDisk(const juce::File& file)
{
#if JUCE_WINDOWS
    // A folder's entries cannot be flushed on Windows (the file system
    // journals them): a folder is not synced, and says so.
    if (file.isDirectory())
        return false;
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
