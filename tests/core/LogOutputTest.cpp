#include "core/LogOutput.h"
#include "TestSupport.h"
#include "core/LogWriter.h"
#include <gtest/gtest.h>
#include <regex>
#include <thread>
#if !JUCE_WINDOWS
#include <sys/stat.h>
#include <unistd.h>
#endif

#if JUCE_WINDOWS
#include <windows.h>
#endif

using testing_support::Recorder;

namespace
{
struct LogFixture : ::testing::Test
{
    void SetUp() override { log.AttachEditor(&recorder); }
    std::wstring received()
    {
        testing_support::pump(1);
        return recorder.logText();
    }
    // The text of request `i`, which must be an appended line.
    const std::wstring& textOf(size_t i) const { return std::get<LogAppendText>(recorder.events.at(i)).text; }
    CLogOutput log;
    Recorder recorder;
};
} // namespace

TEST_F(LogFixture, LinesAreCutAt1023Characters)
{
    const std::string longNarrow(2000, 'n');
    log.PrintA("%s", longNarrow.c_str());
    const std::wstring longWide(2000, L'w');
    log.PrintW(L"%ls", longWide.c_str());
    log.PrintW(L"%d-%ls", 7, L"ok");
    testing_support::pump(1);
    ASSERT_EQ(recorder.events.size(), 3u);
    EXPECT_EQ(textOf(0), std::wstring(1023, L'n'));
    EXPECT_EQ(textOf(1), std::wstring(1023, L'w'));
    EXPECT_EQ(textOf(2), L"7-ok");
}

TEST_F(LogFixture, NarrowLinesAreCutAtCharactersNotBytes)
{
    // 1100 two-byte characters: the cut falls after 1023 of them, never
    // inside one, and a shorter line of them is kept whole.
#if JUCE_WINDOWS
    if (GetACP() != CP_UTF8)
        GTEST_SKIP() << "narrow text is in the ANSI code page " << GetACP() << ", one byte a character";
#endif
    std::string umlauts;
    for (int i = 0; i < 1100; ++i)
        umlauts += "\xc3\xbc";
    log.PrintA("%s", umlauts.c_str());
    log.PrintA("x%s", umlauts.substr(0, 2 * 1000).c_str());
    testing_support::pump(1);
    ASSERT_EQ(recorder.events.size(), 2u);
    EXPECT_EQ(textOf(0), std::wstring(1023, L'\u00fc'));
    EXPECT_EQ(textOf(1), L"x" + std::wstring(1000, L'\u00fc'));
}

TEST_F(LogFixture, NarrowTextIsConvertedFromTheMultibyteEncoding)
{
#if JUCE_WINDOWS
    // The ANSI code page, whichever the system uses.
    const wchar_t* wide = L"Gr\u00fc\u00dfe \u20ac";
    char narrow[64] = {};
    BOOL lossy = FALSE;
    ASSERT_GT(
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, narrow, sizeof(narrow), nullptr, &lossy),
        0);
    if (lossy)
        GTEST_SKIP() << "the ANSI code page " << GetACP() << " lacks these characters";
    log.PrintA("%s\n", narrow);
#else
    log.PrintA("%s\n", "Gr\xc3\xbc\xc3\x9f"
                       "e \xe2\x82\xac");
#endif
    // Write passes text through untouched, "%" included.
    log.Write(L"100% sure");
    EXPECT_EQ(received(), L"Gr\u00fc\u00dfe \u20ac\n100% sure");
}

TEST_F(LogFixture, StyleRequestsTravelInOrderWithTheirPayloads)
{
    log.SetBold(true);
    log.SetTextColour(LogColour::red);
    log.PrintA("A");
    log.SetBold(false);
    log.SetTextColour(LogColour::black);
    log.SetFontSize();
    log.Clear();
    testing_support::pump(1);
    ASSERT_EQ(recorder.events.size(), 7u);
    // Each request as its kind and its value (none for text and clear).
    auto valueOf = [](const Event& e) -> juce::int64
    {
        return std::visit(overloaded{[](const LogSetBold& r) -> juce::int64 { return r.bold ? 1 : 0; },
                                     [](const LogSetColour& r) -> juce::int64 { return r.argb; },
                                     [](const LogSetFontHeight& r) -> juce::int64 { return r.height; },
                                     [](const auto&) -> juce::int64 { return -1; }},
                          e);
    };
    using testing_support::codeOf;
    const std::pair<size_t, juce::int64> expected[] = {{codeOf<LogSetBold>(), 1},
                                                       {codeOf<LogSetColour>(), LogColour::red},
                                                       {codeOf<LogAppendText>(), -1},
                                                       {codeOf<LogSetBold>(), 0},
                                                       {codeOf<LogSetColour>(), LogColour::black},
                                                       {codeOf<LogSetFontHeight>(), 16},
                                                       {codeOf<LogClear>(), -1}};
    for (size_t i = 0; i < 7; ++i)
    {
        EXPECT_EQ(recorder.events[i].index(), expected[i].first) << i;
        EXPECT_EQ(valueOf(recorder.events[i]), expected[i].second) << i;
    }
}

TEST_F(LogFixture, NothingIsPostedWithoutAnEditor)
{
    log.AttachEditor(nullptr);
    log.PrintA("lost");
    log.SetBold(true);
    log.Clear();
    EXPECT_TRUE(received().empty());
    EXPECT_TRUE(recorder.events.empty());
}

TEST_F(LogFixture, LinesFromTwoThreadsArriveWholeAndInOrderPerThread)
{
    constexpr int perThread = 400;
    auto writer = [this](char tag)
    {
        for (int i = 0; i < perThread; ++i)
            log.PrintA("%c%04d|", tag, i);
    };
    std::thread a(writer, 'A'), b(writer, 'B');
    writer('M');
    a.join();
    b.join();
    testing_support::pumpUntil([&] { return recorder.events.size() == 3 * perThread; }, 10000);
    ASSERT_EQ(recorder.events.size(), 3u * perThread);
    int next[3] = {0, 0, 0};
    for (auto& e : recorder.events)
    {
        auto& text = std::get<LogAppendText>(e).text;
        ASSERT_EQ(text.size(), 6u) << "a line arrived split";
        const int which = text[0] == L'A' ? 0 : text[0] == L'B' ? 1 : 2;
        EXPECT_EQ(std::stoi(text.substr(1, 4)), next[which]++);
    }
}

#if !JUCE_WINDOWS
// The standard output copy is written by a thread of its own: when nobody
// reads standard output (a paused terminal, a full pipe), logging goes on at
// once, the queue stays bounded, and what was dropped is told afterwards.
TEST(LogWriterTest, ABlockedStandardOutputNeverBlocksTheLogger)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(fds[1], 1);
    std::string drained;
    {
        LogWriter writer(true, {});
        const std::string chunk(1000, 'x');
        const auto start = juce::Time::getMillisecondCounter();
        for (int i = 0; i < 3000; ++i) // 3 MB: far beyond the pipe and the queue
            writer.text(juce::String(chunk));
        writer.line("last");
        EXPECT_LT(juce::Time::getMillisecondCounter() - start, 5000u); // it did not wait for the pipe
        // Now the pipe is read: everything queued arrives, with the count of what was dropped.
        std::thread reader(
            [&]
            {
                char buffer[65536];
                ssize_t n;
                while ((n = ::read(fds[0], buffer, sizeof(buffer))) > 0)
                    drained.append(buffer, (size_t)n);
            });
        EXPECT_TRUE(writer.flush(20000));
        dup2(saved, 1);
        close(fds[1]);
        reader.join();
    }
    close(saved);
    close(fds[0]);
    EXPECT_GE(drained.size(), LogWriter::kMaxQueuedBytes - 1000);
    EXPECT_LT(drained.size(), 3000000u);
    EXPECT_NE(drained.find("log texts were dropped: the output was blocked)"), std::string::npos);
}
#endif

// The log file: each line starts with the time it was logged, pieces of text
// join into their line, the program's own lines stand alone, and the file is
// moved aside as NAME.1 once it reaches its bound.
TEST(LogWriterTest, TheLogFileHasTimedLinesAndIsKeptSmall)
{
    const auto folder = testing_support::makeTempFolder("tamarind-logfile");
    const auto file = folder.getChildFile("Tamarind.log");
    {
        LogWriter writer(false, file, 300);
        writer.text("Testing flash \"S29GL512_S\"...");
        writer.text("OK.\nRead");
        writer.line("Status: Piano connected.");
        writer.text("y\n");
        ASSERT_TRUE(writer.flush());
    }
    auto lines = juce::StringArray::fromLines(file.loadFileAsString());
    lines.removeEmptyStrings();
    ASSERT_EQ(lines.size(), 4) << file.loadFileAsString();
    const juce::String stamp = "2\\d\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d ";
    for (const auto& line : lines)
        EXPECT_TRUE(std::regex_search(line.toStdString(), std::regex("^" + stamp.toStdString()))) << line;
    EXPECT_TRUE(lines[0].endsWith(" Testing flash \"S29GL512_S\"...OK."));
    EXPECT_TRUE(lines[1].endsWith(" Read"));
    EXPECT_TRUE(lines[2].endsWith(" Status: Piano connected."));
    EXPECT_TRUE(lines[3].endsWith(" y"));

    // Beyond the bound the file starts again; the one before is kept.
    {
        LogWriter writer(false, file, 300);
        for (int i = 0; i < 40; ++i)
            writer.line("line " + juce::String(i));
        ASSERT_TRUE(writer.flush());
    }
    const auto older = folder.getChildFile("Tamarind.log.1");
    EXPECT_TRUE(older.existsAsFile());
    EXPECT_LT(file.getSize(), 400);
    EXPECT_LT(older.getSize(), 400);
    EXPECT_TRUE(file.loadFileAsString().trimEnd().endsWith(" line 39"));
    EXPECT_EQ(folder.findChildFiles(juce::File::findFiles, false).size(), 2);
#if !JUCE_WINDOWS
    // A link in the log's place is never written through.
    const auto target = folder.getChildFile("elsewhere.txt");
    target.replaceWithText("keep");
    file.deleteFile();
    ASSERT_TRUE(target.createSymbolicLink(file, true));
    {
        LogWriter writer(false, file, 300);
        EXPECT_TRUE(writer.fileProblem().contains("Tamarind.log")) << writer.fileProblem();
        writer.line("into the link?");
        writer.flush();
    }
    EXPECT_EQ(target.loadFileAsString(), "keep");
    // Nor is a FIFO opened (which would wait for a reader for ever): it is
    // refused at once, and said so.
    file.deleteFile();
    ASSERT_EQ(mkfifo(file.getFullPathName().toRawUTF8(), 0600), 0);
    {
        LogWriter writer(false, file, 300);
        EXPECT_FALSE(writer.fileProblem().isEmpty());
        writer.line("into the pipe?");
        EXPECT_TRUE(writer.flush());
    }
#endif
    EXPECT_TRUE(LogWriter(false, folder.getChildFile("fresh.log")).fileProblem().isEmpty());
    folder.deleteRecursively();
}
