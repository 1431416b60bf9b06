#include "update/UpdateImage.h"
#include "TestSupport.h"
#include "core/LogOutput.h"
#include "update/ImageBuilder.h"
#include <gtest/gtest.h>
#include <juce_cryptography/juce_cryptography.h>

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
        folder.getChildFile("update.rom").replaceWithData(data.getData(), data.getSize());
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
    EXPECT_EQ(recorder.events[1].code, LogSetColour);
    EXPECT_EQ((juce::uint32)recorder.events[1].p1, LogColour::red);
    EXPECT_EQ((juce::uint32)recorder.events[3].p1, LogColour::black);

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
