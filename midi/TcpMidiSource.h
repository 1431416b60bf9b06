#pragma once
#include <functional>

namespace midi
{
// Test seam: runs at the start of every connect attempt of a TCP source, on the
// thread that makes it. nullptr removes it.
void setTcpConnectObserver(std::function<void()> observer);
} // namespace midi
