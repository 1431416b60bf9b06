#include "virtual-piano/LinkModel.h"
#include <algorithm>

namespace vp
{
double protocolMinimumMs(const std::vector<Exchange>& exchanges, const PianoConfig& config)
{
    if (exchanges.empty())
        return 0;
    const double rate = config.linkBytesPerMs, latency = config.latencyMs;
    double repliesIn = 0; // every reply so far has arrived at the host
    double inLinkFree = 0, pianoFree = 0, outLinkFree = 0;
    for (const auto& e : exchanges)
    {
        const double sent = repliesIn;
        inLinkFree = std::max(inLinkFree, sent) + e.requestBytes / rate;
        for (const auto& r : e.replies)
        {
            const double start = std::max(pianoFree, inLinkFree + latency) + r.busyMs;
            pianoFree = start;
            outLinkFree = std::max(start, outLinkFree) + r.bytes / rate;
            repliesIn = std::max(repliesIn, outLinkFree + latency);
        }
    }
    return std::max(repliesIn, inLinkFree + latency);
}
} // namespace vp
