#pragma once
#include "virtual-piano/PianoConfig.h"
#include <vector>

namespace vp
{
// What one host message cost the link: its size, and the size and the
// instrument's busy time of every reply it caused.
struct Exchange
{
    int requestBytes = 0;
    struct Reply
    {
        int bytes = 0;
        double busyMs = 0;
    };
    std::vector<Reply> replies;
};

// The protocol's own minimum time for a sequence of exchanges under the
// timing model of `config`: each host message leaves as soon as every reply
// to the earlier ones has arrived (a host that takes no time), every byte
// crosses the link at its rate, each direction adds one latency, and the
// instrument works its modelled busy time before replying. The same link
// model as ThreadedPiano's, with the host's delays taken out.
double protocolMinimumMs(const std::vector<Exchange>& exchanges, const PianoConfig& config);
} // namespace vp
