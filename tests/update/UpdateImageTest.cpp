#include "update/UpdateImage.h"
#include "TestSupport.h"
#include "core/LogOutput.h"
#include "update/ImageBuilder.h"
#include "update/ImageReport.h"
#include <gtest/gtest.h>
#include <juce_cryptography/juce_cryptography.h>
#if !JUCE_WINDOWS
#include <sys/stat.h>
#endif

using testing_support::Recorder;

namespace
{
class UpdateImageTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        folder = testing_support::makeTempFolder("tamarind-image");
        log.AttachEditor(&recorder);
    }
    void TearDown() override { folder.deleteRecursively(); }

    juce::String programFolder() const { return folder.getFullPathName() + "/"; }

    void writeRom(const juce::MemoryBlock& data)
    {
        const auto rom = folder.getChildFile("update.rom");
        // (The framework deletes a file it is to fill with nothing.)
        if (data.isEmpty())
            ASSERT_TRUE(rom.deleteFile() && rom.create());
        else
            rom.replaceWithData(data.getData(), data.getSize());
    }

    void writeRom(const image::ImageSpec& rom) { writeRom(image::buildUpdateImage(rom)); }

    int check(const juce::String& deviceProduct = "Tessaro")
    {
        facts = {};
        const int r = checkUpdateFile(programFolder(), deviceProduct, &log, facts);
        testing_support::pump(1);
        return r;
    }

    juce::File folder;
    CLogOutput log;
    Recorder recorder;
    UpdateFileFacts facts;
};
} // namespace

TEST_F(UpdateImageTest, GoodImageIsAcceptedAndItsFactsKept)
{
    image::ImageSpec rom;
    rom.version = "V2.10.05";
    writeRom(rom);
    EXPECT_EQ(check(), UpdateFileOk);
    EXPECT_EQ(facts.productName.value_or(""), "Tessaro");
    EXPECT_EQ(facts.version.value_or(""), "V2.10.05");
    EXPECT_EQ(facts.length.value_or(0), 0x40000);
    EXPECT_EQ(recorder.logUtf8(), "File version:V2.10.05\n");
    // The version value is written in red, then the colour returns to black.
    const auto codes = recorder.codes(false);
    ASSERT_EQ(codes.size(), 4u);
    EXPECT_EQ(std::get<LogSetColour>(recorder.events[1]).argb, LogColour::red);
    EXPECT_EQ(std::get<LogSetColour>(recorder.events[3]).argb, LogColour::black);

    // The plain-path sizes pass too.
    rom.size = 0x80000;
    writeRom(rom);
    EXPECT_EQ(check(), UpdateFileOk);
    EXPECT_EQ(facts.length.value_or(0), 0x80000);
}

TEST_F(UpdateImageTest, ChecksRunInTheirFixedOrder)
{
    EXPECT_EQ(check(), UpdateFileMissing);
    EXPECT_FALSE(facts.length.has_value());

    // No marker: the version test comes before the size and signature tests.
    image::ImageSpec rom;
    rom.withVersionMarker = false;
    writeRom(rom);
    EXPECT_EQ(check(), UpdateFileNoVersion);
    rom.size = 0x3FFFF;
    writeRom(rom);
    EXPECT_EQ(check(), UpdateFileNoVersion);

    rom = {};
    rom.withProductName = false;
    writeRom(rom);
    EXPECT_EQ(check(), UpdateFileNoProductName);

    // Names differing only in case are different; the name check precedes the size check.
    rom = {};
    rom.productName = "TESSARO";
    rom.size = 0x3FFFF;
    writeRom(rom);
    EXPECT_EQ(check("Tessaro"), UpdateFileProductMismatch);
    EXPECT_FALSE(facts.productName.has_value());
    EXPECT_TRUE(recorder.logText().empty());
    // With no name from the instrument the mismatch goes unnoticed.
    EXPECT_EQ(check(""), UpdateFileBadSize);
}

TEST_F(UpdateImageTest, SizeAndSignatureFailures)
{
    image::ImageSpec rom;
    rom.size = 0x3FFFF;
    writeRom(rom);
    EXPECT_EQ(check(), UpdateFileBadSize);
    EXPECT_EQ(recorder.logUtf8(), "File version:V1.00.00\nFile too small!\n");
    EXPECT_EQ(facts.length.value_or(0), 0x3FFFF);

    recorder.clear();
    rom.size = 0x50000;
    writeRom(rom);
    EXPECT_EQ(check(), UpdateFileBadSize);
    EXPECT_EQ(recorder.logUtf8(),
              "File version:V1.00.00\nFile length must be an integer multiple of 256k!\n");

    rom.size = 0x40000;
    rom.withSignature = false;
    writeRom(rom);
    EXPECT_EQ(check(), UpdateFileModified);

    // Each of the three signature bytes matters.
    for (auto offset : {0x0, 0xFFF8, 0xFFF9})
    {
        auto data = image::buildUpdateImage(image::ImageSpec{});
        static_cast<juce::uint8*>(data.getData())[offset] ^= 0x01;
        writeRom(data);
        EXPECT_EQ(check(), UpdateFileModified) << offset;
    }
}

TEST_F(UpdateImageTest, VersionTextStopsAtAZeroByte)
{
    image::ImageSpec rom;
    rom.version = "V1";
    writeRom(rom);
    EXPECT_EQ(check(), UpdateFileOk);
    EXPECT_EQ(facts.version.value_or(""), "V1");

    // A zero first byte leaves an empty version although the marker is there.
    auto data = image::buildUpdateImage(image::ImageSpec{});
    static_cast<juce::uint8*>(data.getData())[image::kVersionTextOffset] = 0;
    writeRom(data);
    EXPECT_EQ(check(), UpdateFileNoVersion);
}

TEST_F(UpdateImageTest, DescriptorRules)
{
    for (int lengthByte : {0, 1, 2, 3, 5})
    {
        auto data = image::buildUpdateImage(image::ImageSpec{});
        static_cast<juce::uint8*>(data.getData())[image::kDescriptorOffset + 1] = (juce::uint8)lengthByte;
        writeRom(data);
        EXPECT_EQ(check(), UpdateFileNoProductName) << lengthByte;
    }
    // A wrong descriptor type is no name either.
    auto data = image::buildUpdateImage(image::ImageSpec{});
    static_cast<juce::uint8*>(data.getData())[image::kDescriptorOffset + 3] = 0x04;
    writeRom(data);
    EXPECT_EQ(check(), UpdateFileNoProductName);

    // The longest name (126 characters) fits the block; non-ASCII units survive.
    image::ImageSpec rom;
    rom.productName = juce::String::repeatedString("Ab", 62) + juce::String::fromUTF8("\xc3\xa9\xe2\x82\xac");
    writeRom(rom);
    EXPECT_EQ(check(rom.productName), UpdateFileOk);
    EXPECT_EQ(facts.productName.value_or(""), rom.productName);
}

TEST_F(UpdateImageTest, ShortFilesAndTheVersionAreaReadBack)
{
    // Too short to hold the marker: no version; bytes that cannot be read never match.
    juce::MemoryBlock tiny(0x100, true);
    static_cast<juce::uint8*>(tiny.getData())[0] = 0x02;
    writeRom(tiny);
    EXPECT_EQ(check(), UpdateFileNoVersion);

    // Marker present but the file ends before the descriptor.
    auto cut = image::buildUpdateImage(image::ImageSpec{});
    cut.setSize(0x20000);
    writeRom(cut);
    EXPECT_EQ(check(), UpdateFileNoProductName);

    // The 8 KiB read from flash 0x1F000 is parsed at marker offset 0xFEE.
    auto full = image::buildUpdateImage(image::ImageSpec{});
    auto area = folder.getChildFile("orv_read_version.bin");
    area.replaceWithData(static_cast<const juce::uint8*>(full.getData()) + 0x1F000, 0x2000);
    auto block = readVersionBlock(area.getFullPathName(), image::kMarkerOffsetInVersionRead);
    EXPECT_EQ(versionBlockText(block.get()), "V1.00.00");
    EXPECT_EQ(versionBlockText(block.get(), image::kProductNameIndex), "Tessaro");
    EXPECT_EQ(block[8], 0);

    EXPECT_EQ(versionBlockText(readVersionBlock({}, 0).get()), "error");
    EXPECT_EQ(versionBlockText(readVersionBlock(folder.getChildFile("none").getFullPathName(), 0).get()),
              "error");
    EXPECT_EQ(versionBlockText(readVersionBlock(folder.getFullPathName(), 0).get()), "error");
}

TEST(UpdateImageStatus, EveryResultHasItsStatusText)
{
    EXPECT_STREQ(updateFileStatusText(0), "Piano connected.");
    EXPECT_STREQ(updateFileStatusText(1), "The update file is modified!");
    EXPECT_STREQ(updateFileStatusText(2), "The size of the update file is not correct.");
    EXPECT_STREQ(updateFileStatusText(3), "The update file can't be opened!");
    EXPECT_STREQ(updateFileStatusText(4), "No version infomation found in the update file!");
    EXPECT_STREQ(updateFileStatusText(5), "No product name found in the update file!");
    EXPECT_STREQ(updateFileStatusText(6), "The product name is not match to the device.");
}

namespace
{
juce::MemoryBlock imageWith(const image::ImageSpec& rom,
                            std::initializer_list<std::pair<int, int>> changes = {}, int cutTo = -1)
{
    auto data = image::buildUpdateImage(rom);
    for (const auto& [offset, value] : changes)
        static_cast<juce::uint8*>(data.getData())[offset] = (juce::uint8)value;
    if (cutTo >= 0)
        data.setSize((size_t)cutTo);
    return data;
}

image::ImageSpec sized(int size, const char* fill = "counter")
{
    image::ImageSpec rom;
    rom.size = size;
    rom.fill = fill;
    return rom;
}
} // namespace

// The streamed check (for reports on large images) sees what the check of the
// whole file in memory sees, image by image: the same result, facts and log
// lines; its reader hands over every byte in order, across its blocks, and
// only the image's start is kept.
TEST_F(UpdateImageTest, TheStreamedCheckAgreesWithTheWholeFileCheck)
{
    image::ImageSpec noVersion, noProduct, otherProduct;
    noVersion.withVersionMarker = false;
    noProduct.withProductName = false;
    otherProduct.productName = "TESSARO";
    const std::pair<const char*, juce::MemoryBlock> images[] = {
        {"good", imageWith({})},
        {"empty", {}},
        {"tiny", imageWith({}, {}, 0x100)},
        {"cut before the name", imageWith({}, {}, 0x20000)},
        {"too small", imageWith(sized(0x3FFFF))},
        {"no multiple of 256k", imageWith(sized(0x50000))},
        {"first byte", imageWith({}, {{0, 0x03}})},
        {"signature", imageWith({}, {{0xFFF9, 0x45}})},
        {"no version", imageWith(noVersion)},
        {"no product", imageWith(noProduct)},
        {"other product", imageWith(otherProduct)},
        {"blocks and a part", imageWith(sized(0x340000, "random:9"))},
        {"blocks, signature", imageWith(sized(0x340000, "random:9"), {{0xFFF8, 0}})},
    };
    for (const auto& [name, bytes] : images)
    {
        writeRom(bytes);
        const auto path = folder.getChildFile("update.rom").getFullPathName();
        recorder.clear();
        facts = {};
        const int whole = checkUpdateImage(path, "Tessaro", &log, facts);
        testing_support::pump(1);
        const auto wholeLog = recorder.logUtf8();
        const auto wholeFacts = facts;

        recorder.clear();
        facts = {};
        StreamedImage seen;
        juce::MemoryOutputStream passed;
        const int streamed = checkUpdateImageStreamed(
            path, "Tessaro", &log, facts,
            [&passed](juce::InputStream& in)
            {
                // Odd pieces, not the reader's blocks.
                char piece[7777];
                for (int n; (n = in.read(piece, sizeof(piece))) > 0;)
                    passed.write(piece, (size_t)n);
            },
            seen);
        testing_support::pump(1);
        EXPECT_EQ(streamed, whole) << name;
        EXPECT_EQ(recorder.logUtf8(), wholeLog) << name;
        EXPECT_EQ(facts.version, wholeFacts.version) << name;
        EXPECT_EQ(facts.productName, wholeFacts.productName) << name;
        EXPECT_EQ(facts.length, wholeFacts.length) << name;
        EXPECT_TRUE(facts.bytes.isEmpty()) << name;
        EXPECT_TRUE(seen.whole) << name;
        EXPECT_EQ(seen.length, (juce::int64)bytes.getSize()) << name;
        // Compared as text of bytes: an empty block has no data to compare.
        auto text = [](const juce::MemoryBlock& b)
        { return std::string((const char*)b.begin(), b.getSize()); };
        EXPECT_EQ(text(passed.getMemoryBlock()), text(bytes)) << name;
        const auto kept = juce::jmin(bytes.getSize(), (size_t)image::kStreamHeadBytes);
        EXPECT_EQ(text(seen.head), text(bytes).substr(0, kept)) << name;

        // A reader that takes nothing: the check reads the file itself.
        const int unread = checkUpdateImageStreamed(
            path, "Tessaro", nullptr, facts, [](juce::InputStream&) {}, seen);
        EXPECT_EQ(unread, whole) << name;
        EXPECT_TRUE(seen.whole) << name;
    }

    // What is not read at all: a missing file, one larger than the flash.
    int calls = 0;
    StreamedImage seen;
    const auto count = [&calls](juce::InputStream&) { ++calls; };
    folder.getChildFile("update.rom").deleteFile();
    EXPECT_EQ(checkUpdateImageStreamed(programFolder() + "update.rom", {}, nullptr, facts, count, seen),
              UpdateFileMissing);
    writeRom(imageWith(sized(0x80000)));
    facts = {};
    EXPECT_EQ(
        checkUpdateImageStreamed(programFolder() + "update.rom", {}, nullptr, facts, count, seen, 0x40000),
        UpdateFileBadSize);
    EXPECT_EQ(facts.length.value_or(0), 0x80000);
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(seen.whole);
}

// A file that grows or shrinks while it is streamed is not taken, as when it
// is read whole.
TEST_F(UpdateImageTest, AFileThatChangesWhileStreamedIsNotTaken)
{
    const auto file = folder.getChildFile("update.rom");
    for (const bool grow : {true, false})
    {
        writeRom(imageWith(sized(0x300000, "random:4")));
        recorder.clear();
        StreamedImage seen;
        const int result = checkUpdateImageStreamed(
            file.getFullPathName(), {}, &log, facts,
            [&](juce::InputStream& in)
            {
                juce::HeapBlock<char> some(0x180000);
                in.read(some.get(), 0x180000);
                juce::FileOutputStream out(file); // the same file, at its end
                ASSERT_TRUE(out.openedOk());
                if (grow)
                    out.write("more", 4);
                else
                {
                    out.setPosition(0x200000);
                    out.truncate();
                }
                out.flush();
                while (in.read(some.get(), 0x180000) > 0)
                {
                }
            },
            seen);
        testing_support::pump(1);
        EXPECT_EQ(result, UpdateFileMissing) << grow;
        EXPECT_FALSE(seen.whole) << grow;
        EXPECT_EQ(recorder.logUtf8(), "The update file changed or could not be read while it was read.\n")
            << grow;
    }
}

// The report the tools print: the digest of the whole file, read in blocks,
// and the first byte and signature as the check saw them; none for what was
// not read.
TEST_F(UpdateImageTest, TheReportReadsTheImageInBlocks)
{
    const auto data = imageWith(sized(0x340000, "random:12"), {{0xFFF9, 0x45}});
    writeRom(data);
    const auto path = folder.getChildFile("update.rom").getFullPathName();
    auto r = describeImage(path, "Tessaro");
    EXPECT_EQ(r.result, UpdateFileModified);
    EXPECT_EQ(r.size, 0x340000);
    EXPECT_EQ(r.version, "V1.00.00");
    EXPECT_EQ(r.product, "Tessaro");
    EXPECT_EQ(r.md5, juce::MD5(data).toHexString());
    EXPECT_EQ(r.firstByte, 0x02);
    EXPECT_EQ(r.signature[0], 0x42);
    EXPECT_EQ(r.signature[1], 0x45);

    // A file too short for the signature: a digest, no signature bytes.
    const auto tiny = imageWith({}, {}, 0x100);
    writeRom(tiny);
    r = describeImage(path);
    EXPECT_EQ(r.result, UpdateFileNoVersion);
    EXPECT_EQ(r.md5, juce::MD5(tiny).toHexString());
    EXPECT_EQ(r.signature[0], 0);

    writeRom(juce::MemoryBlock());
    EXPECT_EQ(describeImage(path).md5, "");
    EXPECT_EQ(describeImage(folder.getChildFile("none.rom").getFullPathName()).md5, "");
#if !JUCE_WINDOWS
    const auto pipe = folder.getChildFile("pipe.rom");
    ASSERT_EQ(::mkfifo(pipe.getFullPathName().toRawUTF8(), 0600), 0);
    r = describeImage(pipe.getFullPathName());
    EXPECT_EQ(r.refusal, "a FIFO");
    EXPECT_EQ(r.result, UpdateFileMissing);
    EXPECT_EQ(r.md5, "");
#endif
}

#ifdef TAMARIND_IMAGE_TOOL
TEST_F(UpdateImageTest, ImageToolMakesAndInspectsImages)
{
    const auto out = folder.getChildFile("update.rom");
    juce::ChildProcess make;
    ASSERT_TRUE(make.start(juce::StringArray{TAMARIND_IMAGE_TOOL, "make", out.getFullPathName(), "--version",
                                             "V3.00.01", "--product", "Tessaro", "--size", "0x80000",
                                             "--fill", "random:7"}));
    make.waitForProcessToFinish(20000);
    EXPECT_EQ(make.getExitCode(), 0u);
    EXPECT_EQ(out.getSize(), 0x80000);
    EXPECT_EQ(check(), UpdateFileOk);

    auto info = [&](const juce::File& image, juce::String& text)
    {
        juce::ChildProcess p;
        EXPECT_TRUE(p.start(juce::StringArray{TAMARIND_IMAGE_TOOL, "info", image.getFullPathName()}));
        text = p.readAllProcessOutput();
        p.waitForProcessToFinish(20000);
        return (int)p.getExitCode();
    };
    juce::String text;
    EXPECT_EQ(info(out, text), 0);
    EXPECT_TRUE(text.contains("version:  V3.00.01")) << text;
    EXPECT_TRUE(text.contains("product:  Tessaro")) << text;
    EXPECT_TRUE(text.contains("size:     524288")) << text;
    EXPECT_TRUE(text.contains("signature: BD")) << text;
    juce::MemoryBlock bytes;
    out.loadFileAsData(bytes);
    EXPECT_TRUE(text.contains("md5:      " + juce::MD5(bytes).toHexString())) << text;
    EXPECT_TRUE(text.contains("result:   0 (Piano connected.)")) << text;

    // The exit code is the check's result.
    static_cast<juce::uint8*>(bytes.getData())[image::kSignatureOffset] = 0;
    const auto broken = folder.getChildFile("broken.rom");
    broken.replaceWithData(bytes.getData(), bytes.getSize());
    EXPECT_EQ(info(broken, text), UpdateFileModified);
    EXPECT_EQ(info(folder.getChildFile("none.rom"), text), UpdateFileMissing);

    juce::ChildProcess help;
    ASSERT_TRUE(help.start(juce::StringArray{TAMARIND_IMAGE_TOOL, "--help"}));
    EXPECT_TRUE(help.readAllProcessOutput().startsWith("usage:"));
    help.waitForProcessToFinish(5000);
    EXPECT_EQ(help.getExitCode(), 0u);
}
#endif
