// The update history file: records written and read back, the bound and its
// older file, hostile files in its place, damaged lines, the line for people.
#include "update/UpdateHistory.h"
#include "TestSupport.h"
#include <functional>
#include <gtest/gtest.h>
#if !JUCE_WINDOWS
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace
{
history::Record sample(int n = 0)
{
    history::Record r;
    r.start = juce::Time(2026, 11, 9, 14, 3, 12, 345, true) + juce::RelativeTime::minutes(n);
    r.end = r.start + juce::RelativeTime::milliseconds(42071);
    r.program = "0.8.9";
    r.input = "Virtual Piano";
    r.output = "Virtual Piano";
    r.flash = "S29GL128_S";
    r.versionBefore = "V1.00.00";
    r.versionAfter = "V1.20.00";
    r.image = "/home/user/update.rom";
    r.imageMd5 = "0cc175b9c0f1b6a831c399e269772661";
    r.path = "safe";
    r.result = "Update OK!";
    r.ok = true;
    r.seconds = 42.071;
    return r;
}

void expectSame(const history::Record& a, const history::Record& b)
{
    EXPECT_EQ(a.start.toMilliseconds(), b.start.toMilliseconds());
    EXPECT_EQ(a.end.toMilliseconds(), b.end.toMilliseconds());
    EXPECT_EQ(a.program, b.program);
    EXPECT_EQ(a.input, b.input);
    EXPECT_EQ(a.output, b.output);
    EXPECT_EQ(a.flash, b.flash);
    EXPECT_EQ(a.versionBefore, b.versionBefore);
    EXPECT_EQ(a.versionAfter, b.versionAfter);
    EXPECT_EQ(a.image, b.image);
    EXPECT_EQ(a.imageMd5, b.imageMd5);
    EXPECT_EQ(a.path, b.path);
    EXPECT_EQ(a.result, b.result);
    EXPECT_EQ(a.ok, b.ok);
    EXPECT_DOUBLE_EQ(a.seconds, b.seconds);
}

struct HistoryFolder
{
    HistoryFolder() : folder(testing_support::makeTempFolder("tamarind-history")) {}
    ~HistoryFolder() { folder.deleteRecursively(); }
    juce::File file() const { return folder.getChildFile(history::kFileName); }
    juce::File older() const { return folder.getChildFile(juce::String(history::kFileName) + ".1"); }
    juce::File folder;
};
} // namespace

// Texts from outside (port names, paths) keep every character, and each
// record is one line of JSON with the documented keys.
TEST(UpdateHistory, RecordsAreWrittenOneALineAndReadBackAsTheyWere)
{
    HistoryFolder h;
    auto odd = sample(1);
    odd.input = "Port \"A\"\nsecond line\\\t\r";
    odd.output = juce::String(juce::CharPointer_UTF8("Fl\xc3\xbcgel \xe2\x80\xa8 \xf0\x9f\x8e\xb9"));
    odd.image = "C:\\pianos\\update.rom";
    odd.versionAfter = "";
    odd.path = "repair";
    odd.result = "Time out!";
    odd.ok = false;
    odd.seconds = 0.1055460000000894; // written to the millisecond
    ASSERT_EQ(history::append(h.folder, sample()), "");
    ASSERT_EQ(history::append(h.folder, odd), "");

    const auto reading = history::read(h.folder);
    EXPECT_EQ(reading.problem, "");
    EXPECT_EQ(reading.badLines, 0);
    ASSERT_EQ(reading.records.size(), 2u);
    expectSame(reading.records[0], sample());
    auto written = odd;
    written.seconds = 0.106;
    expectSame(reading.records[1], written);

    juce::StringArray lines;
    lines.addLines(h.file().loadFileAsString());
    lines.removeEmptyStrings();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[1].endsWith("\"ok\": false, \"seconds\": 0.106}")) << lines[1];
    const auto second = juce::JSON::parse(lines[1]);
    ASSERT_NE(second.getDynamicObject(), nullptr);
    juce::StringArray keys;
    for (const auto& property : second.getDynamicObject()->getProperties())
        keys.add(property.name.toString());
    EXPECT_EQ(keys.joinIntoString(","),
              "start,end,program,input,output,flash,versionBefore,versionAfter,image,"
              "imageMd5,path,result,ok,seconds");
    // Times carry their offset from UTC.
    EXPECT_TRUE(juce::Time::fromISO8601(second["start"].toString()) == odd.start);
    const auto start = second["start"].toString();
    const auto offset = start.getLastCharacters(6);
    EXPECT_TRUE(start.endsWith("Z") || ((offset[0] == '+' || offset[0] == '-') && offset[3] == ':')) << start;
#if !JUCE_WINDOWS
    struct stat st;
    ASSERT_EQ(::stat(h.file().getFullPathName().toRawUTF8(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
#endif
}

TEST(UpdateHistory, OnlyWholeRecordsAreAccepted)
{
    struct Case
    {
        const char* what;
        std::function<void(juce::DynamicObject&)> change;
        bool accepted;
    };
    const Case cases[] = {
        {"as written", [](juce::DynamicObject&) {}, true},
        {"an unknown key besides", [](juce::DynamicObject& o) { o.setProperty("later", 1); }, true},
        {"whole seconds", [](juce::DynamicObject& o) { o.setProperty("seconds", 12); }, true},
        {"no result", [](juce::DynamicObject& o) { o.removeProperty("result"); }, false},
        {"no start", [](juce::DynamicObject& o) { o.removeProperty("start"); }, false},
        {"no ok", [](juce::DynamicObject& o) { o.removeProperty("ok"); }, false},
        {"a number as input", [](juce::DynamicObject& o) { o.setProperty("input", 3); }, false},
        {"ok as text", [](juce::DynamicObject& o) { o.setProperty("ok", "true"); }, false},
        {"seconds as text", [](juce::DynamicObject& o) { o.setProperty("seconds", "12"); }, false},
        {"a start that is no time", [](juce::DynamicObject& o) { o.setProperty("start", "yesterday"); },
         false},
        {"an empty end", [](juce::DynamicObject& o) { o.setProperty("end", ""); }, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const auto value = history::toVar(sample());
        c.change(*value.getDynamicObject());
        history::Record r;
        EXPECT_EQ(history::fromVar(value, r), c.accepted);
    }
    history::Record r;
    EXPECT_FALSE(history::fromVar(juce::var(), r));
    EXPECT_FALSE(history::fromVar(juce::Array<juce::var>{history::toVar(sample())}, r));
}

// Damaged lines (a cut-off write, a hand edit) cost only themselves; a record
// appended after a cut-off line starts a line of its own.
TEST(UpdateHistory, LinesThatAreNoRecordsAreSkippedAndCounted)
{
    HistoryFolder h;
    const auto good = juce::JSON::toString(history::toVar(sample()), true);
    const auto cut = good.substring(0, good.length() / 2);
    ASSERT_TRUE(h.file().replaceWithText(good + "\n" + "not json\n" + "\n" + "{}\n" + "[1, 2]\n" +
                                         juce::JSON::toString(history::toVar(sample(1)), true) + "\n" + cut));
    ASSERT_EQ(history::append(h.folder, sample(2)), "");
    const auto reading = history::read(h.folder);
    EXPECT_EQ(reading.badLines, 4);
    EXPECT_EQ(reading.problem, "");
    ASSERT_EQ(reading.records.size(), 3u);
    for (int i = 0; i < 3; ++i)
        expectSame(reading.records[(size_t)i], sample(i));
}

// At the bound the file becomes the older one (replacing the one before), so
// at most two files' worth is kept; reading gives the records oldest first.
TEST(UpdateHistory, TheFileIsMovedAsideAtItsBound)
{
    HistoryFolder h;
    auto big = [](int n)
    {
        auto r = sample(n);
        r.image = "/" + juce::String::repeatedString("long-folder-name/", 250) + "update.rom";
        return r;
    };
    const auto lineBytes =
        (juce::int64)juce::JSON::toString(history::toVar(big(0)), true).getNumBytesAsUTF8() + 1;
    const int perFile = (int)(history::kMaxFileBytes / lineBytes);
    ASSERT_GT(perFile, 10);
    int written = 0;
    auto appendUpTo = [&](int count)
    {
        for (; written < count; ++written)
        {
            ASSERT_EQ(history::append(h.folder, big(written)), "");
            ASSERT_LE(h.file().getSize(), history::kMaxFileBytes);
        }
    };
    appendUpTo(perFile);
    EXPECT_FALSE(h.older().exists());
    appendUpTo(perFile + 1);
    ASSERT_TRUE(h.older().existsAsFile());
    EXPECT_EQ(h.file().getSize(), lineBytes);
    auto reading = history::read(h.folder);
    ASSERT_EQ((int)reading.records.size(), perFile + 1);
    for (int i = 0; i <= perFile; ++i)
        EXPECT_TRUE(reading.records[(size_t)i].start == big(i).start) << i;

    // The second time the older file is replaced: the first records are gone.
    appendUpTo(2 * perFile + 1);
    reading = history::read(h.folder);
    ASSERT_EQ((int)reading.records.size(), perFile + 1);
    EXPECT_TRUE(reading.records.front().start == big(perFile).start);
    EXPECT_TRUE(reading.records.back().start == big(2 * perFile).start);
    EXPECT_EQ(reading.badLines, 0);
}

#if !JUCE_WINDOWS
// Nothing is written through a link or into a FIFO, a folder or another
// user's file; nothing is read through a link, from a FIFO (which would block)
// or from a file too large to be a history.
TEST(UpdateHistory, WhatIsNoFileOfOursIsRefused)
{
    struct Case
    {
        const char* what;
        std::function<void(const juce::File& file, const juce::File& elsewhere)> make;
        const char* why;        // of the append; nullptr: written
        const char* readingWhy; // of the reading; nullptr: read
    };
    const Case cases[] = {
        {"a link to another file",
         [](const juce::File& f, const juce::File& e) { ASSERT_TRUE(e.createSymbolicLink(f, true)); },
         "a symbolic link", "a symbolic link"},
        {"a FIFO",
         [](const juce::File& f, const juce::File&)
         { ASSERT_EQ(::mkfifo(f.getFullPathName().toRawUTF8(), 0600), 0); },
         "a FIFO", "a FIFO"},
        {"a folder", [](const juce::File& f, const juce::File&) { ASSERT_TRUE(f.createDirectory()); },
         "a folder", "a folder"},
        {"another user's file",
         [](const juce::File& f, const juce::File&)
         {
             ASSERT_TRUE(f.replaceWithText(""));
             ASSERT_EQ(::chown(f.getFullPathName().toRawUTF8(), 65534, 65534), 0);
         },
         "it belongs to another user", nullptr},
        {"a file too large",
         [](const juce::File& f, const juce::File&)
         {
             juce::MemoryBlock block((size_t)history::kMaxReadBytes + 1, true);
             ASSERT_TRUE(f.replaceWithData(block.getData(), block.getSize()));
         },
         nullptr, "too large for an update history"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        if (std::string(c.what) == "another user's file" && ::geteuid() != 0)
            continue; // only root can give a file away
        HistoryFolder h;
        const auto elsewhere = h.folder.getChildFile("elsewhere.txt");
        ASSERT_TRUE(elsewhere.replaceWithText("kept"));
        c.make(h.file(), elsewhere);
        const auto refused = "Refused " + h.file().getFullPathName() + ": ";
        if (c.why != nullptr)
        {
            EXPECT_EQ(history::append(h.folder, sample()), refused + c.why);
        }
        const auto reading = history::read(h.folder);
        EXPECT_EQ(reading.problem, c.readingWhy != nullptr ? refused + c.readingWhy : juce::String());
        EXPECT_TRUE(reading.records.empty());
        EXPECT_EQ(elsewhere.loadFileAsString(), "kept");
    }

    // The older file's place holds a link: the full file is not moved onto it.
    HistoryFolder h;
    const auto elsewhere = h.folder.getChildFile("elsewhere.txt");
    ASSERT_TRUE(elsewhere.replaceWithText("kept"));
    ASSERT_TRUE(elsewhere.createSymbolicLink(h.older(), true));
    juce::MemoryBlock full((size_t)history::kMaxFileBytes, true);
    ASSERT_TRUE(h.file().replaceWithData(full.getData(), full.getSize()));
    EXPECT_EQ(history::append(h.folder, sample()),
              "Refused " + h.older().getFullPathName() + ": a symbolic link");
    EXPECT_EQ(h.file().getSize(), history::kMaxFileBytes);
    EXPECT_EQ(elsewhere.loadFileAsString(), "kept");
    EXPECT_EQ(history::read(h.folder).problem,
              "Refused " + h.older().getFullPathName() + ": a symbolic link");
}
#endif

// A port name or result with line breaks of any kind cannot forge a second line.
TEST(UpdateHistory, TheLineForPeopleStaysOneLine)
{
    auto r = sample();
    EXPECT_EQ(r.start.formatted("%Y-%m-%d %H:%M:%S"), "2026-12-09 14:03:12");
    EXPECT_EQ(history::describe(r),
              "2026-12-09 14:03:12  Update OK!  (safe update, V1.00.00 -> V1.20.00, flash "
              "S29GL128_S, input \"Virtual Piano\", output \"Virtual Piano\", 42.1 s)");

    r.input = "Piano\n2026-12-09 14:00:00  Update OK!";
    r.output = juce::String(juce::CharPointer_UTF8("Out\r\xc2\x85\xe2\x80\xa8\xe2\x80\xa9\x1b[2J\tend"));
    r.result = "Time out!\n";
    r.versionAfter = "";
    r.path = "repair";
    const auto line = history::describe(r);
    EXPECT_EQ(line, "2026-12-09 14:03:12  Time out!?  (repair, V1.00.00 -> unknown, flash S29GL128_S, input "
                    "\"Piano?2026-12-09 14:00:00  Update OK!\", output \"Out?????[2J?end\", 42.1 s)");
}
