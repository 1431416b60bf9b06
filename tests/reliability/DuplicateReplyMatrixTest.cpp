// A repeated reply at every message of an update, on the safe path (256 KiB
// image, the data region 0x40000..0x5FFFF kept) and on the plain path (512 KiB
// image). The instrument answers host message N of the update twice (a status,
// or a read packet); everything else is as usual.
//
// Every case must end either in "Update OK!" with the flash byte for byte
// right, or in a clear failure after which a restarted program's UPDATE
// repairs. No byte of the data region may be lost, and no case may report
// "Update OK!" with a wrong flash.
//
// With one read packet per block every message index is tried; with the
// instrument's usual small packets (many acknowledgements per block) a
// seeded random sample is.
#include "ControlAccess.h"
#include "reliability/ProgramSession.h"
#include "update/ImageBuilder.h"
#include <gtest/gtest.h>

using testing_support::control;
#include <map>

namespace
{
constexpr int kHead = 0x100000; // every byte an update may touch lies below
constexpr juce::int64 kRegion = vp::VirtualPiano::kDataRegionStart;
constexpr juce::int64 kRegionSize = vp::VirtualPiano::kDataRegionSize;

struct KindTally
{
    int tried = 0, ok = 0, repaired = 0;
    std::map<juce::String, int> failures; // status line of the first run
};

class DuplicateReplyMatrix : public ::testing::Test
{
protected:
    void prepare(juce::int64 imageSize, const juce::String& config)
    {
        pianoConfig = config;
        safePath = imageSize <= 0x40000;
        root = testing_support::makeTempFolder("tamarind-duplicates");
        programFolder = root.getChildFile("program");
        programFolder.createDirectory();
        work = root.getChildFile("work");
        store = root.getChildFile("flash.bin");
        image::ImageSpec rom;
        rom.size = imageSize;
        rom.version = "V2.00.00";
        rom.fill = "random:21";
        image = image::buildUpdateImage(rom);
        programFolder.getChildFile("update.rom").replaceWithData(image.getData(), image.getSize());
        {
            vp::VirtualPiano factory(
                vp::PianoConfig::parse(pianoConfig + ",store=" + store.getFullPathName()));
            factoryHead.assign(factory.flashData(), factory.flashData() + kHead);
        }
        recordReference();
    }

    void TearDown() override
    {
        if (root.exists())
            root.deleteRecursively();
    }

    std::unique_ptr<reliability::ProgramSession> session()
    {
        return std::make_unique<reliability::ProgramSession>(reliability::virtualPiano(pianoConfig, store),
                                                             programFolder, work);
    }

    static int messages(reliability::ProgramSession& s)
    {
        return s.withPiano([](vp::VirtualPiano& p) { return p.messagesReceived(); });
    }

    // The undisturbed update: how many messages it takes, and where each job starts.
    void recordReference()
    {
        ASSERT_TRUE(reliability::restore(store, factoryHead, work, {}));
        auto s = session();
        ASSERT_TRUE(s->ready()) << s->log();
        const int base = messages(*s);
        s->main->getController().getQueue().setJobObserver(
            [&](size_t, const OperationRecord& r)
            { jobStarts.emplace_back(messages(*s) - base, jobs::name(r)); });
        s->pressUpdate();
        ASSERT_TRUE(s->finished());
        ASSERT_EQ(s->main->getStatus(), "Update OK!") << s->log();
        totalMessages = messages(*s) - base;
    }

    // The kind of job that sends host message `index` of the update (from 1).
    const char* kindOf(int index) const
    {
        const char* name = "other";
        for (const auto& [first, kind] : jobStarts)
            if (first < index)
                name = kind;
        return name;
    }

    // Bytes of the flash that are not what a finished update leaves.
    juce::int64 wrongBytes(const juce::uint8* flash) const
    {
        juce::int64 wrong = 0;
        const auto* rom = static_cast<const juce::uint8*>(image.getData());
        const auto imageBytes = safePath ? kRegion : (juce::int64)image.getSize();
        for (juce::int64 i = 0; i < imageBytes; ++i)
            wrong += flash[i] != rom[i];
        return wrong;
    }

    juce::int64 lostDataBytes(const juce::uint8* flash) const
    {
        juce::int64 lost = 0;
        if (safePath)
            for (juce::int64 i = kRegion; i < kRegion + kRegionSize; ++i)
                lost += flash[i] != factoryHead[(size_t)i];
        return lost;
    }

    void tryIndex(int index)
    {
        auto& tally = kinds[kindOf(index)];
        ++tally.tried;
        ++tried;
        const auto label = "duplicate of the reply to message " + juce::String(index);
        ASSERT_TRUE(reliability::restore(store, factoryHead, work, {}));
        juce::String status;
        {
            auto s = session();
            ASSERT_TRUE(s->ready()) << label;
            s->withPiano([&](vp::VirtualPiano& p)
                         { p.setDuplicateReplies(p.messagesReceived() + index, 1); });
            s->pressUpdate();
            ASSERT_TRUE(s->finished()) << label;
            status = s->main->getStatus();
            const auto wrong = wrongBytes(s->flash());
            const auto lost = lostDataBytes(s->flash());
            if (status == "Update OK!")
            {
                // Reported done: the flash must be exactly right.
                okButWrong += wrong != 0 || lost != 0 ? 1 : 0;
                lostBytes += lost;
                EXPECT_EQ(wrong, 0) << label << "\n" << s->log();
                EXPECT_EQ(lost, 0) << label;
                ++tally.ok;
                return;
            }
            // A clear failure: a status line, nothing left running, a way on.
            EXPECT_FALSE(status.isEmpty()) << label;
            EXPECT_FALSE(s->main->isUpdating()) << label;
            EXPECT_TRUE(testing_support::wayOn(s->main)) << label;
            ++tally.failures[status];
        }
        // The program is started again and UPDATE repairs.
        auto again = session();
        ASSERT_TRUE(again->ready()) << label << " (after \"" << status << "\")";
        again->pressUpdate();
        ASSERT_TRUE(again->finished()) << label;
        const auto wrong = wrongBytes(again->flash());
        const auto lost = lostDataBytes(again->flash());
        lostBytes += lost;
        EXPECT_EQ(again->main->getStatus(), "Update OK!") << label << "\n" << again->log();
        EXPECT_EQ(wrong, 0) << label;
        EXPECT_EQ(lost, 0) << label;
        if (again->main->getStatus() == "Update OK!" && wrong == 0 && lost == 0)
            ++tally.repaired;
    }

    void tryEveryIndex()
    {
        for (int i = 1; i <= totalMessages && !HasFatalFailure(); ++i)
            tryIndex(i);
    }

    void trySample(int count, juce::int64 seed)
    {
        juce::Random random(seed);
        for (int k = 0; k < count && !HasFatalFailure(); ++k)
            tryIndex(1 + random.nextInt(totalMessages));
    }

    void print(const juce::String& title, const juce::String& which)
    {
        juce::String text = "\n" + title + "\n";
        int ok = 0, repaired = 0;
        for (const auto& [kind, t] : kinds)
        {
            text << "  " << juce::String(kind).paddedRight(' ', 22)
                 << juce::String(t.tried).paddedLeft(' ', 5) << " tried, " << t.ok << " Update OK!, "
                 << (t.tried - t.ok) << " failed clearly";
            for (const auto& [status, n] : t.failures)
                text << " (" << n << " \"" << status << "\")";
            text << ", repaired " << t.repaired << "\n";
            ok += t.ok;
            repaired += t.repaired;
        }
        text << "  indices tried: " << tried << " (" << which << " of " << totalMessages
             << " messages), Update OK! at once: " << ok << ", failed clearly then repaired: " << repaired
             << ", reported OK with a wrong flash: " << okButWrong << ", data bytes lost: " << lostBytes
             << "\n";
        std::fputs(text.toRawUTF8(), stdout);
        std::fflush(stdout);
    }

    void expectAllSound()
    {
        int ok = 0, repaired = 0;
        for (const auto& [kind, t] : kinds)
        {
            ok += t.ok;
            repaired += t.repaired;
        }
        EXPECT_EQ(ok + repaired, tried);
        EXPECT_EQ(okButWrong, 0);
        EXPECT_EQ(lostBytes, 0);
    }

    juce::String pianoConfig;
    bool safePath = true;
    juce::File root, programFolder, work, store;
    juce::MemoryBlock image;
    std::vector<juce::uint8> factoryHead;
    std::vector<std::pair<int, const char*>> jobStarts; // first message of the job (from 0), its kind
    int totalMessages = 0;
    std::map<juce::String, KindTally> kinds;
    int tried = 0, okButWrong = 0;
    juce::int64 lostBytes = 0;
};
} // namespace

TEST_F(DuplicateReplyMatrix, SafePathEveryMessageWithWholeBlockPackets)
{
    prepare(0x40000, "flash=S29GL128_S,packet=4100");
    ASSERT_FALSE(HasFatalFailure());
    tryEveryIndex();
    print("Duplicated replies on the safe path (256 KiB image, one packet per read block):", "every index");
    expectAllSound();
}

TEST_F(DuplicateReplyMatrix, PlainPathEveryMessageWithWholeBlockPackets)
{
    prepare(0x80000, "flash=S29GL128_S,packet=4100");
    ASSERT_FALSE(HasFatalFailure());
    tryEveryIndex();
    print("Duplicated replies on the plain path (512 KiB image, one packet per read block):", "every index");
    expectAllSound();
}

TEST_F(DuplicateReplyMatrix, SafePathSampledWithSmallPackets)
{
    prepare(0x40000, "flash=S29GL128_S");
    ASSERT_FALSE(HasFatalFailure());
    trySample(50, 2026);
    print("Duplicated replies on the safe path (256 KiB image, 256-byte read packets):", "a seeded sample");
    expectAllSound();
}

TEST_F(DuplicateReplyMatrix, PlainPathSampledWithSmallPackets)
{
    prepare(0x80000, "flash=S29GL128_S");
    ASSERT_FALSE(HasFatalFailure());
    trySample(50, 2027);
    print("Duplicated replies on the plain path (512 KiB image, 256-byte read packets):", "a seeded sample");
    expectAllSound();
}
