#include "platform/Interrupts.h"
#include <atomic>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace platform
{
struct InterruptWatch::State
{
    explicit State(std::function<void()> fn) : onInterrupt(std::move(fn)) {}
    std::function<void()> onInterrupt;
#if !defined(_WIN32)
    int pipe[2] = {-1, -1};
    std::thread reader;
#endif
};

#if defined(_WIN32)
namespace
{
std::atomic<std::function<void()>*> current{nullptr};

// Windows calls this on a thread of its own for each console event.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    if (auto* fn = current.load())
        (*fn)();
    return TRUE;
}
} // namespace

InterruptWatch::InterruptWatch(std::function<void()> fn) : state(new State(std::move(fn)))
{
    current = &state->onInterrupt;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

InterruptWatch::~InterruptWatch()
{
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    current = nullptr;
    delete state;
}
#else
namespace
{
// Only what is safe in a signal handler: one byte into the pipe.
std::atomic<int> signalPipe{-1};
void onSignal(int)
{
    const int saved = errno;
    const int fd = signalPipe.load();
    const char byte = 1;
    if (fd >= 0)
        (void)!::write(fd, &byte, 1);
    errno = saved;
}
} // namespace

InterruptWatch::InterruptWatch(std::function<void()> fn) : state(new State(std::move(fn)))
{
    if (::pipe(state->pipe) != 0)
        return;
    for (int fd : state->pipe)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    signalPipe = state->pipe[1];
    state->reader = std::thread(
        [s = state]
        {
            char byte = 0;
            for (;;)
            {
                const auto n = ::read(s->pipe[0], &byte, 1);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0 || byte == 0) // closed, or the destructor's stop
                    return;
                s->onInterrupt();
            }
        });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

InterruptWatch::~InterruptWatch()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    signalPipe = -1;
    if (state->reader.joinable())
    {
        const char stop = 0;
        (void)!::write(state->pipe[1], &stop, 1);
        state->reader.join();
    }
    for (int fd : state->pipe)
        if (fd >= 0)
            ::close(fd);
    delete state;
}
#endif
} // namespace platform
