// Replies nobody asked for around the answers that decide what the piano is,
// with the timing model on (a link of about 1 ms latency each way):
// - a late copy of each reply of the flash identification and the version
//   read, 0.5, 3 and 20 ms after the reply;
// - a stray status every 5 or 50 ms, from the start or from the update on;
// - a repeated read packet at read packet sizes 100, 512 and 4100.
//
// The piano is an S29GL512_S, the third model tried. Every case must end in
// "Update OK!" with the flash right, or in a clear failure after which a
// restarted program connects and updates; no case may pick another chip, and
// no byte of the data region may be lost.
#include "ControlAccess.h"
#include "reliability/ProgramSession.h"
#include "update/ImageBuilder.h"
#include <gtest/gtest.h>
#include <map>

namespace
{
constexpr int kHead = 0x100000;
constexpr juce::int64 kRegion = vp::VirtualPiano::kDataRegionStart;
constexpr juce::int64 kRegionSize = vp::VirtualPiano::kDataRegionSize;
// A quick link with the protocol's latency: the order of replies is modelled,
// the bulk of an update takes little time. Where the latency is not what is
// tried, a shorter one keeps the acknowledged read packets quick.
const juce::String kTiming = "flash=S29GL512_S,timing=1,link=2000,latency=1,erase_ms=2,program_us=5";
const juce::String kQuickLink = "flash=S29GL512_S,timing=1,link=2000,latency=0.2,erase_ms=2,program_us=5";

struct Tally
{
    int tried = 0, ok = 0, repaired = 0, wrongChip = 0, okButWrong = 0;
    juce::int64 lostBytes = 0;
    std::map<juce::String, int> failures;
};

class StrayReplyMatrix : public ::testing::Test
{
protected:
    void SetUp() override
    {
        root = testing_support::makeTempFolder("tamarind-strays");
        programFolder = root.getChildFile("program");
        programFolder.createDirectory();
        work = root.getChildFile("work");
        store = root.getChildFile("flash.bin");
        image::ImageSpec rom;
        rom.size = 0x40000;
        rom.version = "V2.00.00";
        rom.fill = "random:33";
        image = image::buildUpdateImage(rom);
        programFolder.getChildFile("update.rom").replaceWithData(image.getData(), image.getSize());
        vp::VirtualPiano factory(vp::PianoConfig::parse(kTiming + ",store=" + store.getFullPathName()));
        factoryHead.assign(factory.flashData(), factory.flashData() + kHead);
    }

    void TearDown() override
    {
        if (root.exists())
            root.deleteRecursively();
    }

    std::unique_ptr<reliability::ProgramSession> session(const juce::String& faults)
    {
        const auto& base = quickLink ? kQuickLink : kTiming;
        Communication::TickPeriods periods;
        periods.scanMs = 20;
        periods.transferMs = 100;
        periods.readMs = 20;
        periods.quietScanMs = 40;
        return std::make_unique<reliability::ProgramSession>(
            reliability::virtualPiano(base + (faults.isEmpty() ? "" : "," + faults), store), programFolder,
            work, &periods);
    }

    juce::int64 wrongBytes(const juce::uint8* flash) const
    {
        juce::int64 wrong = 0;
        const auto* rom = static_cast<const juce::uint8*>(image.getData());
        for (juce::int64 i = 0; i < kRegion; ++i)
            wrong += flash[i] != rom[i];
        return wrong;
    }

    juce::int64 lostDataBytes(const juce::uint8* flash) const
    {
        juce::int64 lost = 0;
        for (juce::int64 i = kRegion; i < kRegion + kRegionSize; ++i)
            lost += flash[i] != factoryHead[(size_t)i];
        return lost;
    }

    // Connects and updates with `faults` (or only connects: the fault lies
    // in the connection, and the update's own faults are tried elsewhere); a
    // clear failure is followed by a clean run of the program, which must update.
    void tryCase(Tally& t, const juce::String& faults, bool update = true)
    {
        ++t.tried;
        ASSERT_TRUE(reliability::restore(store, factoryHead, work, {}));
        juce::String status;
        {
            auto s = session(faults);
            const bool connected = s->ready();
            const auto chip = s->main->getController().flashModel();
            if (chip.isNotEmpty() && chip != "S29GL512_S")
            {
                ++t.wrongChip;
                ADD_FAILURE() << faults << ": identified " << chip << "\n" << s->log();
            }
            if (connected && !update)
            {
                EXPECT_EQ(s->main->getController().deviceVersion(), "V1.00.00") << faults;
                ++t.ok;
                return;
            }
            if (connected)
            {
                s->pressUpdate();
                ASSERT_TRUE(s->finished()) << faults;
            }
            else
                EXPECT_FALSE(s->main->getController().updateAllowed()) << faults;
            status = s->main->getStatus();
            const auto wrong = wrongBytes(s->flash());
            const auto lost = lostDataBytes(s->flash());
            t.lostBytes += lost;
            EXPECT_EQ(lost, 0) << faults;
            if (status == "Update OK!")
            {
                t.okButWrong += wrong != 0 ? 1 : 0;
                EXPECT_EQ(wrong, 0) << faults << "\n" << s->log();
                ++t.ok;
                return;
            }
            EXPECT_FALSE(status.isEmpty()) << faults;
            EXPECT_FALSE(s->main->isUpdating()) << faults;
            ++t.failures[status];
        }
        auto again = session({});
        ASSERT_TRUE(again->ready()) << faults << " (after \"" << status << "\")";
        again->pressUpdate();
        ASSERT_TRUE(again->finished()) << faults;
        const auto lost = lostDataBytes(again->flash());
        t.lostBytes += lost;
        const bool right = again->main->getStatus() == "Update OK!" && wrongBytes(again->flash()) == 0;
        EXPECT_TRUE(right) << faults << "\n" << again->log();
        EXPECT_EQ(lost, 0) << faults;
        t.repaired += right && lost == 0 ? 1 : 0;
    }

    static void print(const juce::String& title, const std::map<juce::String, Tally>& rows)
    {
        juce::String text = "\n" + title + "\n";
        for (const auto& [name, t] : rows)
        {
            text << "  " << name.paddedRight(' ', 26) << juce::String(t.tried).paddedLeft(' ', 4)
                 << " tried, " << t.ok << " Update OK! with the flash right, " << (t.tried - t.ok)
                 << " failed clearly";
            for (const auto& [status, n] : t.failures)
                text << " (" << n << " \"" << status << "\")";
            text << ", repaired " << t.repaired << ", wrong chip " << t.wrongChip << ", OK but wrong "
                 << t.okButWrong << ", data bytes lost " << t.lostBytes << "\n";
        }
        std::fputs(text.toRawUTF8(), stdout);
        std::fflush(stdout);
    }

    static void expectSound(const std::map<juce::String, Tally>& rows)
    {
        for (const auto& [name, t] : rows)
        {
            EXPECT_EQ(t.ok + t.repaired, t.tried) << name;
            EXPECT_EQ(t.wrongChip, 0) << name;
            EXPECT_EQ(t.okButWrong, 0) << name;
            EXPECT_EQ(t.lostBytes, 0) << name;
        }
    }

    juce::File root, programFolder, work, store;
    juce::MemoryBlock image;
    std::vector<juce::uint8> factoryHead;
    bool quickLink = false;
};
} // namespace

// Messages from the first driver upload to the end of the version read: three
// uploads (command and block), the failing tests of two models, the passing
// test asked twice (messages 1 to 10), and the version read's two blocks of
// 256-byte packets (every second message of it is tried).
class LateCopyMatrix : public StrayReplyMatrix, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(LateCopyMatrix, DuringIdentificationAndVersionRead)
{
    const juce::String delay = GetParam();
    std::map<juce::String, Tally> rows;
    int messages = 0;
    {
        ASSERT_TRUE(reliability::restore(store, factoryHead, work, {}));
        auto s = session({});
        ASSERT_TRUE(s->ready()) << s->log();
        messages = s->withPiano([](vp::VirtualPiano& p) { return p.messagesReceived(); });
    }
    // The scan's identify requests come before the first upload; a bound on
    // the rest is enough (copies of replies that do not exist change nothing).
    // The identification's messages are followed by an update (a wrong chip
    // would show there); the version read's by a check of the version read.
    const int lastMessage = juce::jmin(messages, 46);
    for (int n = 1; n <= lastMessage && !HasFatalFailure(); n += n < 10 ? 1 : 2)
        tryCase(rows["late copy " + delay + " ms"],
                "dup_from_upload=1,dup_status_at=" + juce::String(n) + ",dup_delay=" + delay, n <= 10);
    print("Late copies of replies during identification and version read (S29GL512_S, timing model; "
          "\"Update OK!\" counts a right connection after message 10):",
          rows);
    expectSound(rows);
}

INSTANTIATE_TEST_SUITE_P(Delays, LateCopyMatrix, ::testing::Values("0.5", "3", "20"));

TEST_F(StrayReplyMatrix, StrayStatusesThroughAWholeUpdate)
{
    std::map<juce::String, Tally> rows;
    quickLink = true;
    for (const int every : {5, 50})
    {
        const juce::String ms(every);
        // From the start: identification cannot be trusted and must say so.
        tryCase(rows["every " + ms + " ms from the start"], "stray_status_every=" + ms);
        // From the backup read on (the connection takes fewer messages).
        tryCase(rows["every " + ms + " ms from update"],
                "stray_status_every=" + ms + ",stray_status_after=60");
    }
    print("Stray statuses (S29GL512_S, timing model):", rows);
    expectSound(rows);
}

TEST_F(StrayReplyMatrix, RepeatedReadPacketAtEveryPacketSize)
{
    std::map<juce::String, Tally> rows;
    quickLink = true;
    for (const int packet : {100, 512, 4100})
    {
        // Spread over the version read, the backup read and the read-back.
        for (const int n : {12, 20, 40, 80, 160, 320})
            tryCase(rows["packet " + juce::String(packet) + " bytes"],
                    "packet=" + juce::String(packet) + ",dup_from_upload=1,dup_status_at=" + juce::String(n));
    }
    print("A repeated read packet (S29GL512_S, timing model):", rows);
    expectSound(rows);
}
