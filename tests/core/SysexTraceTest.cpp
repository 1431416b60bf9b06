#include "core/SysexTrace.h"
#include "TestSupport.h"
#include "virtual-piano/VirtualMidiSource.h"
#include <future>
#include <gtest/gtest.h>
#include <regex>
#include <thread>

namespace
{
juce::StringArray traceLines(const juce::File& file)
{
    auto lines = juce::StringArray::fromLines(file.loadFileAsString());
    lines.removeEmptyStrings();
    return lines;
}
} // namespace

// One line per message: time stamp, milliseconds since the start, direction,
// length and bytes; a long message keeps its first 24 and last 8 bytes.
TEST(SysexTraceTest, LinesSayWhenWhichWayHowLongAndWhat)
{
    const auto folder = testing_support::makeTempFolder("tamarind-trace");
    const auto file = folder.getChildFile("Tamarind-trace.log");
    {
        SysexTrace trace(file);
        const juce::uint8 identify[] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
        trace.record(SysexTrace::Direction::toInstrument, identify, sizeof(identify));
        std::vector<juce::uint8> block(300);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = (juce::uint8)(i & 0x7F);
        block.front() = 0xF0;
        block.back() = 0xF7;
        trace.record(SysexTrace::Direction::fromInstrument, block.data(), (int)block.size());
        trace.record(SysexTrace::Direction::fromInstrument, nullptr, 4); // nothing to record
        ASSERT_TRUE(trace.flush());
    }
    const auto lines = traceLines(file);
    ASSERT_EQ(lines.size(), 3) << file.loadFileAsString();
    EXPECT_TRUE(lines[0].contains("SysEx trace"));
    const std::regex out(R"(^2\d{3}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} +\d+\.\d{3} out +6 F0 7E 7F 06 01 F7$)");
    EXPECT_TRUE(std::regex_match(lines[1].toStdString(), out)) << lines[1];
    EXPECT_TRUE(lines[2].contains(
        " in    300 F0 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 "
        "... 24 25 26 27 28 29 2A F7"))
        << lines[2];
    folder.deleteRecursively();
}

// Many writers at once lose no line and no order within a writer; past its
// bound the trace moves the older part aside and keeps going.
TEST(SysexTraceTest, ConcurrentWritersAndTheSizeBound)
{
    const auto folder = testing_support::makeTempFolder("tamarind-trace");
    const auto file = folder.getChildFile("Tamarind-trace.log");
    int messages = 0;
    {
        SysexTrace trace(file, 64 * 1024);
        auto writer = [&trace](juce::uint8 who)
        {
            for (int i = 0; i < 1000; ++i)
            {
                const juce::uint8 m[] = {0xF0, who, (juce::uint8)(i >> 7), (juce::uint8)(i & 0x7F), 0xF7};
                trace.record(SysexTrace::Direction::fromInstrument, m, sizeof(m));
                if (i % 100 == 0)
                    std::this_thread::yield();
            }
        };
        std::thread a(writer, 0x11), b(writer, 0x22);
        a.join();
        b.join();
        ASSERT_TRUE(trace.flush(10000));
    }
    const auto older = folder.getChildFile("Tamarind-trace.log.1");
    ASSERT_TRUE(older.existsAsFile());
    EXPECT_LT(file.getSize(), 70 * 1024);
    EXPECT_LT(older.getSize(), 70 * 1024);
    // Whatever was dropped for a full ring is said in the file.
    juce::StringArray all = traceLines(older);
    all.addArray(traceLines(file));
    int last[2] = {-1, -1}, dropped = 0;
    for (const auto& line : all)
    {
        if (line.contains("messages not traced"))
        {
            dropped += line.fromFirstOccurrenceOf("(", false, false).getIntValue();
            continue;
        }
        auto bytes = juce::StringArray::fromTokens(line.fromFirstOccurrenceOf(" in ", false, false), true);
        bytes.removeEmptyStrings();
        if (bytes.size() < 6)
            continue;
        const int who = bytes[2] == "11" ? 0 : 1;
        const int n = bytes[3].getHexValue32() * 128 + bytes[4].getHexValue32();
        EXPECT_GT(n, last[who]) << line;
        last[who] = n;
        ++messages;
    }
    EXPECT_EQ(last[0], 999);
    EXPECT_EQ(last[1], 999);
    // What the first file lost to rotation is not counted; what it kept is whole.
    EXPECT_LE(messages + dropped, 2000);
    EXPECT_GT(messages, 500);
    folder.deleteRecursively();
}

namespace
{
// Plays the link's part against an in-process virtual piano as fast as it
// answers: each reply is recorded as it arrives and the next request goes out
// at once from the input thread, recorded as it leaves.
struct PingPong : midi::InputCallback
{
    PingPong(SysexTrace& t, midi::OutputPort& o, int n) : trace(t), out(o), exchanges(n) {}

    void send()
    {
        static const juce::uint8 identify[] = {0xF0, 0x00, 0x20, 0x54, 0x7D, 0x08, 0x00, 0x01, 0xF7};
        trace.record(SysexTrace::Direction::toInstrument, identify, sizeof(identify));
        out.sendMessageNow(identify, sizeof(identify));
    }
    void handleIncomingMidiMessage(midi::InputPort*, const juce::uint8* data, int size) override
    {
        trace.record(SysexTrace::Direction::fromInstrument, data, size);
        if (++answered < exchanges)
            send();
        else
            done.set_value();
    }

    SysexTrace& trace;
    midi::OutputPort& out;
    const int exchanges;
    int answered = 0;
    std::promise<void> done;
};

struct TracedLines
{
    int out = 0, in = 0, notTraced = 0;
    bool alternate = true; // every request followed by its reply
};

TracedLines countLines(const juce::File& file)
{
    TracedLines t;
    bool expectOut = true;
    for (const auto& line : traceLines(file))
    {
        if (line.contains("not traced"))
            ++t.notTraced;
        const bool out = line.contains(" out "), in = line.contains(" in  ");
        t.out += out ? 1 : 0;
        t.in += in ? 1 : 0;
        if (out || in)
        {
            t.alternate = t.alternate && out == expectOut;
            expectOut = !out;
        }
    }
    return t;
}
} // namespace

// The in-process virtual piano answers at the processor's speed, far faster
// than lines reach the file: it is held back while the trace is behind, so a
// whole update's worth of exchanges is traced, every message.
TEST(SysexTraceTest, TheInProcessPianosFullSpeedExchangeIsTracedWhole)
{
    const auto folder = testing_support::makeTempFolder("tamarind-trace");
    const auto file = folder.getChildFile("Tamarind-trace.log");
    constexpr int kExchanges = 40000; // about the messages of a 4 MiB update
    {
        SysexTrace trace(file, 64 << 20);
        midi::VirtualSource source(vp::PianoConfig::parse(""));
        auto out = source.openOutput(0);
        ASSERT_NE(out, nullptr);
        PingPong link(trace, *out, kExchanges);
        auto in = source.openInput(0, &link);
        ASSERT_NE(in, nullptr);
        in->start();
        auto done = link.done.get_future();
        link.send();
        // A bound for a broken run, not a measure of speed.
        ASSERT_EQ(done.wait_for(std::chrono::minutes(2)), std::future_status::ready) << link.answered;
        in->stop();
        ASSERT_TRUE(trace.flush(30000));
    }
    const auto lines = countLines(file);
    EXPECT_EQ(lines.notTraced, 0);
    EXPECT_EQ(lines.out, kExchanges);
    EXPECT_EQ(lines.in, kExchanges);
    EXPECT_TRUE(lines.alternate);
    folder.deleteRecursively();
}

// The pacing alone, with numbered messages: a producer that waits for the
// trace the way the simulated instrument does loses none and keeps their
// order, however many it sends; the log writer behind the trace drops none
// either.
TEST(SysexTraceTest, APacedBurstIsTracedWholeAndInOrder)
{
    const auto folder = testing_support::makeTempFolder("tamarind-trace");
    const auto file = folder.getChildFile("Tamarind-trace.log");
    constexpr int kMessages = 4 * SysexTrace::kRingSize + 123;
    {
        SysexTrace trace(file, 64 << 20);
        std::thread producer(
            [&]
            {
                for (int i = 0; i < kMessages; ++i)
                {
                    SysexTrace::paceSimulatedInstrument();
                    const juce::uint8 m[] = {0xF0, (juce::uint8)(i >> 14), (juce::uint8)((i >> 7) & 0x7F),
                                             (juce::uint8)(i & 0x7F), 0xF7};
                    trace.record(SysexTrace::Direction::fromInstrument, m, sizeof(m));
                }
            });
        producer.join();
        ASSERT_TRUE(trace.flush(30000));
    }
    int next = 0;
    for (const auto& line : traceLines(file))
    {
        EXPECT_FALSE(line.contains("not traced") || line.contains("dropped")) << line;
        auto bytes = juce::StringArray::fromTokens(line.fromFirstOccurrenceOf(" in ", false, false), true);
        bytes.removeEmptyStrings();
        if (bytes.size() != 6)
            continue;
        const int n =
            (bytes[2].getHexValue32() << 14) | (bytes[3].getHexValue32() << 7) | bytes[4].getHexValue32();
        ASSERT_EQ(n, next) << line;
        ++next;
    }
    EXPECT_EQ(next, kMessages);
    folder.deleteRecursively();
}
