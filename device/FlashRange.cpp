#include "device/FlashRange.h"

namespace flashrange
{
juce::int64 flashSize(const std::vector<SectorInfo>& sectors)
{
    return sectors.empty() ? 0 : sectors.back().start + sectors.back().size;
}

juce::uint32 sectorWordAddress(const std::vector<SectorInfo>& sectors, int page, int sector)
{
    return (juce::uint32)((juce::int64)page * (kPageBytes / 2) + sectors[(size_t)sector].start / 2);
}

ErasePlan planErase(const std::vector<SectorInfo>& sectors, const EraseRequest& r)
{
    ErasePlan plan;
    const juce::int64 pageBase = (juce::int64)r.page * kPageBytes;
    const juce::int64 start = pageBase + r.flashOffset;
    plan.firstSector = -1;
    for (size_t i = 0; i < sectors.size(); ++i)
        if (sectors[i].start == r.flashOffset)
        {
            plan.firstSector = (int)i;
            break;
        }
    if (plan.firstSector < 0)
    {
        plan.error = EraseError::offsetNotAtSectorStart;
        return plan;
    }
    const juce::int64 available = r.dataLength - r.fileOffset;
    if (available <= 0 || r.fileOffset < 0)
    {
        plan.error = EraseError::fileOffsetBeyondData;
        return plan;
    }

    const bool lengthTaken = r.length > 0 && r.length <= available;
    plan.programLength = lengthTaken ? r.length : available;
    bool adjusted = !lengthTaken;

    juce::int64 end = start + plan.programLength;
    plan.endSector = (int)sectors.size();
    for (size_t i = 0; i < sectors.size(); ++i)
        if (pageBase + sectors[i].start >= end)
        {
            plan.endSector = (int)i;
            break;
        }
    if (plan.endSector < (int)sectors.size())
        end = pageBase + sectors[(size_t)plan.endSector].start;
    else if (end > pageBase + flashSize(sectors))
    {
        plan.cutAtFlashEnd = true;
        end = pageBase + flashSize(sectors);
    }
    if (end - start != plan.programLength)
    {
        plan.programLength = end - start;
        adjusted = true;
    }
    if (plan.programLength > available)
    {
        plan.programLength = available;
        adjusted = true;
    }
    plan.reportLength = adjusted;
    if (plan.endSector == plan.firstSector)
        plan.error = EraseError::emptyRange;
    return plan;
}
} // namespace flashrange
