#pragma once
#include <functional>

namespace platform
{
// Ctrl-C and the request to end (SIGINT and SIGTERM; on Windows the console's
// Ctrl-C, Ctrl-Break and close events), handed to `onInterrupt` on a thread
// of this object's, never inside a signal handler: once per signal. While the
// object lives those signals do not end the program by themselves; its
// destructor gives them their default handling back. One at a time.
class InterruptWatch final
{
public:
    explicit InterruptWatch(std::function<void()> onInterrupt);
    ~InterruptWatch();

    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

private:
    struct State;
    State* state;
};
} // namespace platform
