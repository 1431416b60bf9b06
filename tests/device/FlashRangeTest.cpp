#include "device/FlashRange.h"
#include <gtest/gtest.h>

using namespace flashrange;

namespace
{
// `count` sectors of 128 KiB.
std::vector<SectorInfo> uniform(int count)
{
    std::vector<SectorInfo> s;
    for (int i = 0; i < count; ++i)
        s.push_back({(juce::int64)i * 0x20000, 0x20000});
    return s;
}
} // namespace

TEST(FlashRange, EraseGrowsToTheNextSectorBoundary)
{
    const auto sectors = uniform(128);
    // 0x5000 bytes to 0x20000: the whole sector is erased, the data programmed.
    auto plan = planErase(sectors, {0, 0x20000, 0, 0, 0x5000});
    EXPECT_EQ(plan.error, EraseError::none);
    EXPECT_EQ(plan.firstSector, 1);
    EXPECT_EQ(plan.endSector, 2);
    EXPECT_EQ(plan.programLength, 0x5000);
    EXPECT_TRUE(plan.reportLength);
    EXPECT_FALSE(plan.cutAtFlashEnd);

    // Exactly two sectors of data, asked for by length: nothing to report.
    plan = planErase(sectors, {0, 0, 0x40000, 0, 0x40000});
    EXPECT_EQ(plan.firstSector, 0);
    EXPECT_EQ(plan.endSector, 2);
    EXPECT_EQ(plan.programLength, 0x40000);
    EXPECT_FALSE(plan.reportLength);

    // A file offset leaves less data than asked for.
    plan = planErase(sectors, {0, 0x20000, 0x20000, 0x30000, 0x40000});
    EXPECT_EQ(plan.programLength, 0x10000);
    EXPECT_EQ(plan.endSector, 2);
    EXPECT_TRUE(plan.reportLength);
}

TEST(FlashRange, RangeRunningPastTheFlashIsCutAtItsEnd)
{
    const auto sectors = uniform(4); // 512 KiB
    // Sector offsets count from the page: from page 2 (0x40000) the table
    // reaches 0xC0000, and 0x90000 bytes of data would end at 0xD0000.
    const auto plan = planErase(sectors, {2, 0, 0, 0, 0x90000});
    EXPECT_EQ(plan.error, EraseError::none);
    EXPECT_TRUE(plan.cutAtFlashEnd);
    EXPECT_EQ(plan.endSector, 4);
    EXPECT_EQ(plan.programLength, 0x80000);
    EXPECT_TRUE(plan.reportLength);
    EXPECT_EQ(sectorWordAddress(sectors, 2, 1), 0x20000u + 0x10000u);
}

TEST(FlashRange, Refusals)
{
    const auto sectors = uniform(8);
    EXPECT_EQ(planErase(sectors, {0, 0x1000, 0, 0, 0x1000}).error, EraseError::offsetNotAtSectorStart);
    EXPECT_EQ(planErase(sectors, {0, 0, 0, 0x2000, 0x2000}).error, EraseError::fileOffsetBeyondData);
    EXPECT_EQ(planErase(sectors, {0, 0, 0, -1, 0x2000}).error, EraseError::fileOffsetBeyondData);
    EXPECT_EQ(flashSize(sectors), 0x100000);
    EXPECT_EQ(flashSize({}), 0);
}
