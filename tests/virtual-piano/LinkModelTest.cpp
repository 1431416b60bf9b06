#include "virtual-piano/LinkModel.h"
#include <gtest/gtest.h>

namespace
{
vp::PianoConfig link()
{
    vp::PianoConfig c;
    c.linkBytesPerMs = 48;
    c.latencyMs = 1;
    return c;
}
} // namespace

TEST(LinkModel, ProtocolMinimumOfTypicalExchanges)
{
    // Request on the wire, one latency, the instrument's work, the reply on
    // the wire, one latency.
    EXPECT_DOUBLE_EQ(vp::protocolMinimumMs({{48, {{8, 2.0}}}}, link()), 1 + 1 + 2 + 8.0 / 48 + 1);
    // A message without a reply does not wait: the next one follows it on the wire.
    EXPECT_DOUBLE_EQ(vp::protocolMinimumMs({{48, {}}, {48, {{48, 0.0}}}}, link()), 2 + 1 + 1 + 1);
    // Two exchanges in a row: the second request leaves when the first reply is in.
    EXPECT_DOUBLE_EQ(vp::protocolMinimumMs({{48, {{48, 0.0}}}, {48, {{48, 0.0}}}}, link()), 2 * 4.0);
    // Replies streamed for one request share the outgoing wire.
    EXPECT_DOUBLE_EQ(vp::protocolMinimumMs({{48, {{96, 0.0}, {96, 0.0}}}}, link()), 1 + 1 + 4 + 1);
    // Nothing sent takes no time.
    EXPECT_DOUBLE_EQ(vp::protocolMinimumMs({}, link()), 0.0);
}
