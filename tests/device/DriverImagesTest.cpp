#include "device/DriverImages.h"
#include <gtest/gtest.h>

TEST(DriverImages, BuiltInListHeadersAndSectorTables)
{
    const auto list = deviceimages::builtInDrivers();
    ASSERT_EQ(list.size(), 4u);
    const char* names[] = {"S29GL128_S", "S29GL256_S", "S29GL512_S", "S29GL01G_S"};
    const int sectors[] = {128, 256, 512, 1024};
    for (size_t i = 0; i < 4; ++i)
    {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(list[i].length, 4096);
        EXPECT_STREQ(list[i].mcuName, "ORV828");
        EXPECT_STREQ(list[i].flashName, names[i]);
        const auto table = driverimage::readSectors(list[i].image, list[i].length);
        ASSERT_EQ((int)table.size(), sectors[i]);
        EXPECT_EQ(table[1].start, 131072);
        EXPECT_EQ(table.back().start + table.back().size, (juce::int64)sectors[i] * 131072);
        // Entry area: five long jumps into the code, then 0xFF.
        for (int j = 0; j < 5; ++j)
        {
            EXPECT_EQ(list[i].image[j * 3], 0x02);
            const int target = (list[i].image[j * 3 + 1] << 8) | list[i].image[j * 3 + 2];
            EXPECT_GE(target, 0x8000 + 56);
            EXPECT_LT(target, 0x8000 + 4096);
        }
        EXPECT_EQ(list[i].image[15], 0xFF);
    }
    // The drivers' code differs by model (each checks its own device ID).
    EXPECT_NE(0, std::memcmp(list[0].image + 56, list[2].image + 56, 4040));
}

TEST(DriverImages, ZeroPageServiceDriverAndInterimImage)
{
    const auto* zero = deviceimages::zeroPage();
    for (int i = 0; i < 0x1000; ++i)
        ASSERT_EQ(zero[i], 0) << i;

    const auto* service = deviceimages::serviceDriver();
    char mcu[18], flash[18];
    ASSERT_TRUE(driverimage::readNames(service, 4096, mcu, flash));
    EXPECT_STREQ(mcu, "ORV828");
    EXPECT_STREQ(flash, "S29GL512_S");
    EXPECT_EQ(driverimage::readSectors(service, 4096).size(), 512u);
    const auto normal512 = deviceimages::builtInDrivers()[2];
    EXPECT_NE(0, std::memcmp(service, normal512.image, 15)) << "entry targets must differ";
    EXPECT_NE(0, std::memcmp(service + 56, normal512.image + 56, 4040)) << "code must differ";

    const auto* interim = deviceimages::interimImage();
    EXPECT_EQ(interim[0], 0x02);
    EXPECT_EQ(interim[0xFFF8], 'B');
    EXPECT_EQ(interim[0xFFF9], 'D');
    EXPECT_EQ(interim[0x8000], 0xFF);
    EXPECT_EQ(interim[0xFFFF], 0xFF);
}

TEST(DriverImages, HeaderReadersOnHandMadeImages)
{
    // Two records: 8 x 8 KiB, then 255 x 64 KiB.
    std::vector<juce::uint8> img(4096, 0xFF);
    const juce::uint8 header[] = {8, 0, 8, 0, 64, 0, 255, 0, 0, 0, 0, 0};
    std::memcpy(img.data() + 16, header, sizeof(header));
    auto table = driverimage::readSectors(img.data(), 4096);
    ASSERT_EQ(table.size(), 263u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(table[(size_t)i].start, i * 8192);
    EXPECT_EQ(table[8].start, 65536);
    EXPECT_EQ(table[9].start, 131072);
    EXPECT_EQ(table.back().start, 16711680);
    EXPECT_EQ(table.back().start + table.back().size, 16 * 1024 * 1024);

    // A 16-character name with no 0xFF keeps all 16 characters.
    std::memcpy(img.data() + 28, "ORV828", 6);
    std::memcpy(img.data() + 44, "ABCDEFGHIJKLMNOP", 16);
    char mcu[18], flash[18];
    ASSERT_TRUE(driverimage::readNames(img.data(), 4096, mcu, flash));
    EXPECT_STREQ(flash, "ABCDEFGHIJKLMNOP");
    EXPECT_STREQ(mcu, "ORV828");

    // First count 0: no sectors. No zero word: empty names.
    std::vector<juce::uint8> bad(4096, 0xFF);
    const juce::uint8 noSectors[] = {128, 0, 0, 0};
    std::memcpy(bad.data() + 16, noSectors, 4);
    EXPECT_TRUE(driverimage::readSectors(bad.data(), 4096).empty());
    std::vector<juce::uint8> noTerminator(64, 0x11);
    EXPECT_FALSE(driverimage::readNames(noTerminator.data(), 64, mcu, flash));
    EXPECT_STREQ(mcu, "");
    EXPECT_STREQ(flash, "");
    // Records that never end inside the image are no table either.
    EXPECT_TRUE(driverimage::readSectors(noTerminator.data(), 64).empty());
    // Zero-sized sectors make the header unusable.
    const juce::uint8 zeroSize[] = {0, 0, 4, 0, 0, 0, 0, 0};
    std::memcpy(bad.data() + 16, zeroSize, sizeof(zeroSize));
    EXPECT_TRUE(driverimage::readSectors(bad.data(), 4096).empty());
}
