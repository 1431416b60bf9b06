// The update plan as data: golden job lists for the safe, repair and plain
// paths, and the refusal.
#include "controller/UpdatePlan.h"
#include "device/DriverImages.h"
#include <gtest/gtest.h>

namespace
{
const juce::uint8 workDriver[16] = {};

PlanInputs inputs(juce::int64 imageSize, bool lock, bool backup)
{
    static std::vector<juce::uint8> image(0x100000, 0x5A);
    PlanInputs in;
    in.image = image.data();
    in.imageSize = imageSize;
    in.workDriver = workDriver;
    in.workDriverLength = 16;
    in.lockPresent = lock;
    in.backupUsable = backup;
    in.lockPath = "/w/orv_update.lock";
    in.backupPath = "/w/orv_backup.tmp";
    in.readBackPath = "/w/orv_tmp_read.tmp";
    in.regionCheckPath = "/w/orv_data_check.tmp";
    return in;
}

// One line per job: kind, its place and length, its share of the bar.
std::vector<std::string> describe(const UpdatePlan& plan, const PlanInputs& in)
{
    std::vector<std::string> lines;
    for (const auto& r : plan.jobs)
    {
        char line[200];
        const char* data = r.image == nullptr                         ? "-"
                           : r.image == in.image + r.flashOffset      ? "image"
                           : r.image == in.image                      ? "image"
                           : r.image == deviceimages::zeroPage()      ? "zero page"
                           : r.image == deviceimages::interimImage()  ? "interim"
                           : r.image == in.workDriver                 ? "work"
                           : r.image == deviceimages::serviceDriver() ? "service"
                                                                      : "?";
        std::snprintf(line, sizeof(line), "%s %s %s %s at %llx len %llx share %g-%g mode %d",
                      jobs::name(r.op), r.name, data,
                      juce::File(r.path.isNotEmpty() ? r.path : r.path2).getFileName().toRawUTF8(),
                      (unsigned long long)r.flashOffset, (unsigned long long)r.length, r.shareStart,
                      r.shareEnd, r.mode);
        lines.push_back(line);
    }
    return lines;
}
} // namespace

TEST(UpdatePlan, SafePathBacksUpLocksWritesRestoresVerifiesAndUnlocks)
{
    const auto in = inputs(0x40000, false, false);
    const auto plan = makeUpdatePlan(in);
    EXPECT_EQ(plan.path, UpdatePlan::Path::safe);
    const std::vector<std::string> golden{
        "driver upload Work work  at 0 len 0 share 0-100 mode 0",
        "read  - orv_backup.tmp at 40000 len 20000 share 0-7 mode 0",
        "lock file  - orv_update.lock at 0 len 0 share 0-0 mode 0",
        "driver upload Work work  at 0 len 0 share 7-9 mode 0",
        "erase run (buffer)  -  at 40000 len 20000 share 9-18 mode 0",
        "program from memory  interim  at 40000 len 10000 share 18-25 mode 0",
        "driver upload Sepcial service  at 0 len 0 share 25-27 mode 0",
        "save I/O status  -  at 0 len 0 share 0-0 mode 0",
        "driver upload Work work  at 0 len 0 share 27-29 mode 0",
        "program from memory  zero page  at f000 len 1000 share 29-30 mode 0",
        "erase run (buffer)  -  at 20000 len 20000 share 30-37 mode 0",
        "program from memory  image  at 20000 len 20000 share 37-46 mode 0",
        "erase run (buffer)  -  at 0 len 20000 share 46-55 mode 0",
        "program from memory  image  at 0 len 20000 share 55-64 mode 0",
        "erase run (file)  - orv_backup.tmp at 40000 len 20000 share 64-73 mode 0",
        "program from file  - orv_backup.tmp at 40000 len 20000 share 73-82 mode 0",
        "read  - orv_tmp_read.tmp at 0 len 40000 share 82-91 mode 0",
        "compare  image orv_tmp_read.tmp at 0 len 40000 share 0-0 mode 0",
        "driver upload Work work  at 0 len 0 share 91-93 mode 0",
        "read  - orv_tmp_read.tmp at 40000 len 20000 share 93-100 mode 0",
        "compare  - orv_backup.tmp at 0 len 0 share 0-0 mode 0",
        "lock file  - orv_update.lock at 0 len 0 share 0-0 mode 1",
    };
    EXPECT_EQ(describe(plan, in), golden);
}

TEST(UpdatePlan, RepairSkipsTheBackupAndTheLock)
{
    const auto in = inputs(0x40000, true, true);
    const auto plan = makeUpdatePlan(in);
    EXPECT_EQ(plan.path, UpdatePlan::Path::repair);
    const auto safe = makeUpdatePlan(inputs(0x40000, false, false));
    auto expected = safe.jobs;
    expected.erase(expected.begin() + 1, expected.begin() + 3); // the backup read and the lock
    // Instead, the piano's data region is read and checked against the backup
    // before anything is erased.
    expected.insert(expected.begin() + 1,
                    {jobs::readToFile(in.regionCheckPath, 0, region::data.start, region::data.length, 0, 7),
                     jobs::confirmRead(), jobs::checkBackup(in.backupPath, in.regionCheckPath)});
    EXPECT_EQ(plan.jobs, expected);
    // A smaller image of the safe size reads back only its own bytes.
    const auto small = makeUpdatePlan(inputs(0x30000, true, true));
    EXPECT_EQ(small.jobs[17].length, 0x30000);
}

TEST(UpdatePlan, ALockWithoutAUsableBackupWritesNothing)
{
    const auto plan = makeUpdatePlan(inputs(0x40000, true, false));
    EXPECT_EQ(plan.path, UpdatePlan::Path::refused);
    EXPECT_TRUE(plan.jobs.empty());
}

TEST(UpdatePlan, PlainPathWritesEveryRegionFromTheImage)
{
    const auto in = inputs(0x80000, true, false); // a lock is no matter here
    const auto plan = makeUpdatePlan(in);
    EXPECT_EQ(plan.path, UpdatePlan::Path::plain);
    const std::vector<std::string> golden{
        "driver upload Work work  at 0 len 0 share 0-100 mode 0",
        "erase run (buffer)  -  at 40000 len 20000 share 0-2 mode 0",
        "program from memory  interim  at 40000 len 10000 share 2-4 mode 0",
        "driver upload Sepcial service  at 0 len 0 share 4-4 mode 0",
        "save I/O status  -  at 0 len 0 share 0-0 mode 0",
        "driver upload Work work  at 0 len 0 share 4-4 mode 0",
        "program from memory  zero page  at f000 len 1000 share 4-4.5 mode 0",
        "erase run (buffer)  -  at 60000 len 20000 share 4.5-26 mode 0",
        "program from memory  image  at 60000 len 20000 share 26-50 mode 0",
        "erase run (buffer)  -  at 20000 len 20000 share 50-52 mode 0",
        "program from memory  image  at 20000 len 20000 share 52-54 mode 0",
        "erase run (buffer)  -  at 0 len 20000 share 54-56 mode 0",
        "program from memory  image  at 0 len 20000 share 56-58 mode 0",
        "erase run (buffer)  -  at 40000 len 20000 share 58-60 mode 0",
        "program from memory  image  at 40000 len 20000 share 60-62 mode 0",
        "read  - orv_tmp_read.tmp at 0 len 80000 share 62-99 mode 0",
        "compare  image orv_tmp_read.tmp at 0 len 80000 share 0-0 mode 0",
    };
    EXPECT_EQ(describe(plan, in), golden);
}
