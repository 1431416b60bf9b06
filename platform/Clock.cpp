#include "platform/Clock.h"
#include <atomic>

namespace platform
{
namespace
{
std::atomic<TickSource> tickSource{nullptr};
}

juce::uint32 getTickCount()
{
    if (auto source = tickSource.load())
        return source();
    return juce::Time::getMillisecondCounter();
}

void setTickSource(TickSource source)
{
    tickSource.store(source);
}
} // namespace platform
