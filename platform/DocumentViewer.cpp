#include "platform/DocumentViewer.h"
#include "platform/SafeFile.h"

#if JUCE_WINDOWS
#include <windows.h>
// (after windows.h, which it needs)
#include <shellapi.h>
#else
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace platform
{
DocumentViewer::~DocumentViewer()
{
    stopTimer();
}

bool DocumentViewer::open(const juce::String& path, juce::String& problem)
{
    problem.clear();
    const auto kind = inspectFile(path, true);
    if (kind != FileKind::regular)
    {
        problem = kind == FileKind::missing ? "Can't find " + printablePath(path)
                                            : refusal(path, describeKind(kind));
        return false;
    }
#if JUCE_WINDOWS
    const auto result =
        (INT_PTR)ShellExecuteW(nullptr, L"open", path.toWideCharPointer(), nullptr, nullptr, SW_SHOWNORMAL);
    if (result > 32)
        return true;
    problem = "Can't start the viewer for " + path + " (error " + juce::String((juce::int64)result) + ")";
    return false;
#else
#if JUCE_MAC
    const char* launcher = "open";
#else
    const char* launcher = "xdg-open";
#endif
    // The path is one argument: no shell sees it, so no character in it means
    // anything, and an executable file is shown, never run.
    std::string file = path.toStdString();
    char* argv[] = {const_cast<char*>(launcher), file.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Standard output carries the program's log: the launcher's chatter stays out.
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // This program ignores SIGPIPE; the viewer gets the usual signal handling.
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#ifdef POSIX_SPAWN_SETSID
    flags |= POSIX_SPAWN_SETSID; // the viewer outlives this program
#endif
    posix_spawnattr_setflags(&attributes, flags);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, launcher, &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
    {
        problem = "Can't start " + juce::String(launcher) + ": " + juce::String(std::strerror(error));
        return false;
    }
    launchers.push_back((int)pid);
    startTimer(200);
    return true;
#endif
}

void DocumentViewer::timerCallback()
{
#if !JUCE_WINDOWS
    for (auto it = launchers.begin(); it != launchers.end();)
    {
        int status = 0;
        const pid_t ended = ::waitpid((pid_t)*it, &status, WNOHANG);
        if (ended == 0)
        {
            ++it;
            continue;
        }
        it = launchers.erase(it);
        if (ended < 0)
            continue; // not ours any more
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (code != 0 && onLauncherFailed)
            onLauncherFailed(code);
    }
#endif
    if (launchers.empty())
        stopTimer();
}
} // namespace platform
