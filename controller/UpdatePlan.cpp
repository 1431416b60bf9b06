#include "controller/UpdatePlan.h"
#include "device/DriverImages.h"

namespace
{
// The interim program and the service driver, then the work driver again and
// the zero page: from here on the instrument starts the interim program.
void prepareInterim(UpdatePlan& plan, const PlanInputs& in, const float share[6])
{
    const auto* service = deviceimages::serviceDriver();
    plan.jobs.push_back(jobs::ProgramFromBuffer{deviceimages::interimImage(), region::interim.start,
                                                region::interim.length, share[0], share[1]});
    plan.jobs.push_back(jobs::SendDriver{service, deviceimages::kDriverSize, "Sepcial", share[1], share[2]});
    plan.jobs.push_back(jobs::SaveIoStatus{});
    plan.jobs.push_back(jobs::SendDriver{in.workDriver, in.workDriverLength, "Work", share[3], share[4]});
    plan.jobs.push_back(jobs::ProgramFromBuffer{deviceimages::zeroPage(), region::zeroPage.start,
                                                region::zeroPage.length, share[4], share[5]});
}

// Erases and programs one region of the image from the checked bytes.
void writeRegion(UpdatePlan& plan, const PlanInputs& in, Region r, float start, float middle, float end)
{
    plan.jobs.push_back(jobs::EraseForBuffer{r.start, r.length, start, middle});
    plan.jobs.push_back(jobs::ProgramFromBuffer{in.image + r.start, r.start, r.length, middle, end});
}

void safePath(UpdatePlan& plan, const PlanInputs& in)
{
    auto& list = plan.jobs;
    if (plan.path == UpdatePlan::Path::safe)
    {
        list.push_back(jobs::ReadToFile{in.backupPath, 0, region::data.start, region::data.length, 0, 7});
        list.push_back(jobs::LockFile{in.lockPath, LockMode::create});
    }
    else
    {
        // The backup goes only into the piano it came from: the data region
        // must look like an interrupted update of it before anything is erased.
        list.push_back(
            jobs::ReadToFile{in.regionCheckPath, 0, region::data.start, region::data.length, 0, 7});
        list.push_back(jobs::ConfirmRead{});
        list.push_back(jobs::CheckBackup{in.backupPath, in.regionCheckPath});
    }
    list.push_back(jobs::SendDriver{in.workDriver, in.workDriverLength, "Work", 7, 9});
    list.push_back(jobs::EraseForBuffer{region::data.start, region::data.length, 9, 18});
    const float interimShares[] = {18, 25, 27, 27, 29, 30};
    prepareInterim(plan, in, interimShares);
    writeRegion(plan, in, region::imageHigh, 30, 37, 46);
    writeRegion(plan, in, region::imageLow, 46, 55, 64);
    list.push_back(jobs::EraseFromFile{in.backupPath, 0, 0, region::data.start, region::data.length, 64, 73});
    list.push_back(
        jobs::ProgramFromFile{in.backupPath, 0, 0, region::data.start, region::data.length, 73, 82});
    list.push_back(jobs::ReadToFile{in.readBackPath, 0, 0, in.imageSize, 82, 91});
    list.push_back(jobs::CompareWithBuffer{in.image, in.imageSize, in.readBackPath});
    list.push_back(jobs::SendDriver{in.workDriver, in.workDriverLength, "Work", 91, 93});
    list.push_back(jobs::ReadToFile{in.readBackPath, 0, region::data.start, region::data.length, 93, 100});
    list.push_back(jobs::CompareFiles{in.backupPath, 0, in.readBackPath});
    // The lock goes only when the data region is verified: until then a
    // failed or cut-off update is repaired from the backup, never backed up
    // again from a data region that may be wrong.
    list.push_back(jobs::LockFile{in.lockPath, LockMode::remove});
}

void plainPath(UpdatePlan& plan, const PlanInputs& in)
{
    auto& list = plan.jobs;
    list.push_back(jobs::EraseForBuffer{region::data.start, region::data.length, 0, 2});
    const float interimShares[] = {2, 4, 4, 4, 4, 4.5f};
    prepareInterim(plan, in, interimShares);
    writeRegion(plan, in, {region::plainRest, in.imageSize - region::plainRest}, 4.5f, 26, 50);
    writeRegion(plan, in, region::imageHigh, 50, 52, 54);
    writeRegion(plan, in, region::imageLow, 54, 56, 58);
    writeRegion(plan, in, region::data, 58, 60, 62);
    list.push_back(jobs::ReadToFile{in.readBackPath, 0, 0, in.imageSize, 62, 99});
    list.push_back(jobs::CompareWithBuffer{in.image, in.imageSize, in.readBackPath});
}
} // namespace

UpdatePlan makeUpdatePlan(const PlanInputs& in)
{
    UpdatePlan plan;
    if (in.imageSize > region::safeImageLimit)
        plan.path = UpdatePlan::Path::plain;
    else if (!in.lockPresent)
        plan.path = UpdatePlan::Path::safe;
    else if (in.backupUsable)
        plan.path = UpdatePlan::Path::repair;
    else
        return plan; // refused: a repair needs the data saved before the interrupted update

    plan.jobs.push_back(jobs::SendDriver{in.workDriver, in.workDriverLength, "Work", 0, 100});
    if (plan.path == UpdatePlan::Path::plain)
        plainPath(plan, in);
    else
        safePath(plan, in);
    return plan;
}
