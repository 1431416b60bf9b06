// The update plan's promises, checked over its paths and image sizes: what
// must come before the first erase, what is written last, when the lock goes,
// and that every write stays inside the image and the flash.
#include "controller/UpdatePlan.h"
#include "device/DriverImages.h"
#include "update/UpdateImage.h"
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <optional>

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
    in.lockPath = "/w/lock";
    in.backupPath = "/w/backup";
    in.readBackPath = "/w/read-back";
    in.regionCheckPath = "/w/region-check";
    return in;
}

// What one job does to the flash, whatever its kind.
struct Effect
{
    enum What
    {
        other,
        erase,
        program,
        read,
        compare,
        lockCreate,
        lockRemove
    } what = other;
    Region range{0, 0};
    juce::String file;                 // read into, programmed or erased from, or compared as written
    juce::String readBack;             // a compare's read side
    const juce::uint8* data = nullptr; // a program's or a compare's bytes in memory
};

Effect effect(Effect::What what, Region range, const juce::String& file = {},
              const juce::String& readBack = {}, const juce::uint8* data = nullptr)
{
    Effect e;
    e.what = what;
    e.range = range;
    e.file = file;
    e.readBack = readBack;
    e.data = data;
    return e;
}

Effect effectOf(const OperationRecord& job)
{
    return std::visit(
        [](const auto& k)
        {
            using K = std::decay_t<decltype(k)>;
            if constexpr (std::is_same_v<K, jobs::EraseForBuffer>)
                return effect(Effect::erase, {k.flashOffset, k.length});
            else if constexpr (std::is_same_v<K, jobs::EraseFromFile>)
                return effect(Effect::erase, {k.flashOffset, k.length}, k.path);
            else if constexpr (std::is_same_v<K, jobs::ProgramFromBuffer>)
                return effect(Effect::program, {k.flashOffset, k.length}, {}, {}, k.data);
            else if constexpr (std::is_same_v<K, jobs::ProgramFromFile>)
                return effect(Effect::program, {k.flashOffset, k.length}, k.path);
            else if constexpr (std::is_same_v<K, jobs::ReadToFile>)
                return effect(Effect::read, {k.flashOffset, k.length}, k.path);
            else if constexpr (std::is_same_v<K, jobs::CompareWithBuffer>)
                return effect(Effect::compare, {0, k.length}, {}, k.readBackPath, k.data);
            else if constexpr (std::is_same_v<K, jobs::CompareFiles>)
                return effect(Effect::compare, {k.fileOffset, 0}, k.writtenPath, k.readBackPath);
            else if constexpr (std::is_same_v<K, jobs::LockFile>)
                return effect(k.mode == LockMode::create ? Effect::lockCreate : Effect::lockRemove, {0, 0});
            else
                return effect(Effect::other, {0, 0});
        },
        job);
}

bool writes(const Effect& e)
{
    return e.what == Effect::erase || e.what == Effect::program;
}

bool same(Region a, Region b)
{
    return a.start == b.start && a.length == b.length;
}

std::optional<size_t> first(const std::vector<Effect>& effects, Effect::What what)
{
    for (size_t i = 0; i < effects.size(); ++i)
        if (effects[i].what == what)
            return i;
    return std::nullopt;
}

// The promises every path keeps.
void expectInvariants(const UpdatePlan& plan, const PlanInputs& in)
{
    std::vector<Effect> effects;
    for (const auto& job : plan.jobs)
        effects.push_back(effectOf(job));
    const auto firstErase = first(effects, Effect::erase);
    ASSERT_TRUE(firstErase.has_value());
    const bool keepsData = plan.path != UpdatePlan::Path::plain;

    // Before the first erase: the safe path reads the backup, then makes the
    // lock; a repair reads the piano's data region and checks it against the
    // backup; the plain path has nothing to keep.
    if (plan.path == UpdatePlan::Path::safe)
    {
        const auto backupRead = std::find_if(effects.begin(), effects.end(),
                                             [&](const Effect& e) {
                                                 return e.what == Effect::read && e.file == in.backupPath &&
                                                        same(e.range, region::data);
                                             });
        const auto lock = first(effects, Effect::lockCreate);
        ASSERT_NE(backupRead, effects.end());
        ASSERT_TRUE(lock.has_value());
        EXPECT_LT((size_t)(backupRead - effects.begin()), *lock);
        EXPECT_LT(*lock, *firstErase);
    }
    else
        EXPECT_FALSE(first(effects, Effect::lockCreate).has_value());
    if (plan.path == UpdatePlan::Path::repair)
    {
        const auto check = std::find_if(plan.jobs.begin(), plan.jobs.end(), jobs::is<jobs::CheckBackup>);
        ASSERT_NE(check, plan.jobs.end());
        const auto& c = std::get<jobs::CheckBackup>(*check);
        EXPECT_EQ(c.backupPath, in.backupPath);
        const auto checkAt = (size_t)(check - plan.jobs.begin());
        EXPECT_LT(checkAt, *firstErase);
        bool regionRead = false;
        for (size_t i = 0; i < checkAt; ++i)
            regionRead |= effects[i].what == Effect::read && effects[i].file == c.regionPath &&
                          same(effects[i].range, region::data);
        EXPECT_TRUE(regionRead);
    }

    size_t lastWrite = 0;
    for (size_t i = 0; i < effects.size(); ++i)
    {
        const auto& e = effects[i];
        if (!writes(e))
            continue;
        lastWrite = i;
        // Inside the flash an image of this size needs (the data region
        // included), and never empty.
        EXPECT_GE(e.range.start, 0) << i;
        EXPECT_GT(e.range.length, 0) << i;
        EXPECT_LE(e.range.end(), juce::jmax(in.imageSize, region::data.end())) << i;
        // Bytes from the image are the image's own bytes for that address.
        const std::less<const juce::uint8*> before;
        if (!before(e.data, in.image) && before(e.data, in.image + in.imageSize))
        {
            EXPECT_EQ(e.data, in.image + e.range.start) << i;
            EXPECT_LE(e.range.end(), in.imageSize) << i;
        }
        // Every erase is followed by a program of the same range.
        if (e.what == Effect::erase)
        {
            bool programmed = false;
            for (size_t j = i + 1; j < effects.size() && !programmed; ++j)
                programmed = effects[j].what == Effect::program && same(effects[j].range, e.range);
            EXPECT_TRUE(programmed) << "erase " << i;
        }
    }

    // The data region is written last: restored from the backup, or from the
    // image on the plain path.
    const auto& last = effects[lastWrite];
    EXPECT_EQ(last.what, Effect::program);
    EXPECT_TRUE(same(last.range, region::data));
    if (keepsData)
        EXPECT_EQ(last.file, in.backupPath);
    else
        EXPECT_EQ(last.data, in.image + region::data.start);

    // Each compare follows a read into its read side, of what it compares,
    // with nothing written in between.
    std::vector<size_t> compares;
    for (size_t i = 0; i < effects.size(); ++i)
    {
        if (effects[i].what != Effect::compare)
            continue;
        compares.push_back(i);
        const auto& c = effects[i];
        std::optional<size_t> read;
        for (size_t j = i; j-- > 0 && !read;)
            if (effects[j].what == Effect::read && effects[j].file == c.readBack)
                read = j;
        ASSERT_TRUE(read.has_value()) << "compare " << i;
        for (size_t j = *read; j < i; ++j)
            EXPECT_FALSE(writes(effects[j])) << "compare " << i << " after write " << j;
        const Region expected = c.data != nullptr ? Region{0, in.imageSize} : region::data;
        EXPECT_TRUE(same(effects[*read].range, expected)) << "compare " << i;
        if (c.data != nullptr)
            EXPECT_EQ(c.data, in.image);
        else
            EXPECT_EQ(c.file, in.backupPath);
    }
    // The image is verified on every path; the data region where it is kept.
    EXPECT_EQ(compares.size(), keepsData ? 2u : 1u);

    // The lock goes only after both compares, as the last job; the plain path
    // leaves it to its start.
    const auto unlock = first(effects, Effect::lockRemove);
    if (keepsData)
    {
        ASSERT_TRUE(unlock.has_value());
        EXPECT_EQ(*unlock, effects.size() - 1);
        for (auto c : compares)
            EXPECT_LT(c, *unlock);
    }
    else
        EXPECT_FALSE(unlock.has_value());
}
} // namespace

TEST(UpdatePlan, EveryPathKeepsItsPromisesForEveryImageSize)
{
    // Images that pass the check are whole multiples of the safe size: the
    // largest safe one ends where the data region starts.
    const struct
    {
        const char* name;
        juce::int64 imageSize;
        bool lock, backup;
        UpdatePlan::Path path;
    } cases[] = {
        {"safe, the largest safe image", region::safeImageLimit, false, false, UpdatePlan::Path::safe},
        {"safe, a backup left without a lock", region::safeImageLimit, false, true, UpdatePlan::Path::safe},
        {"repair", region::safeImageLimit, true, true, UpdatePlan::Path::repair},
        {"plain, the smallest plain image", 2 * region::safeImageLimit, false, false,
         UpdatePlan::Path::plain},
        {"plain, a lock is no matter", 2 * region::safeImageLimit, true, false, UpdatePlan::Path::plain},
        {"plain, 1 MiB", 0x100000, false, false, UpdatePlan::Path::plain},
        {"plain, 1 MiB with a lock and a backup", 0x100000, true, true, UpdatePlan::Path::plain},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const auto in = inputs(c.imageSize, c.lock, c.backup);
        const auto plan = makeUpdatePlan(in);
        EXPECT_EQ(plan.path, c.path);
        expectInvariants(plan, in);
    }
}

TEST(UpdatePlan, ALockWithoutAUsableBackupWritesNothing)
{
    const auto plan = makeUpdatePlan(inputs(region::safeImageLimit, true, false));
    EXPECT_EQ(plan.path, UpdatePlan::Path::refused);
    EXPECT_TRUE(plan.jobs.empty());
}
