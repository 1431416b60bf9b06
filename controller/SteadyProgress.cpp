#include "controller/SteadyProgress.h"
#include "device/SysexCodec.h"

namespace
{
// What a job moves, in bytes; jobs that move nothing count as one block, so
// that a list of such jobs still climbs.
double weightOf(const OperationRecord& job)
{
    switch (job.op)
    {
    case OperationRecord::SendDriver:
        return job.imageLength;
    case OperationRecord::EraseFromFile:
    case OperationRecord::EraseBuffer:
    case OperationRecord::ProgramFromFile:
    case OperationRecord::ProgramFromBuffer:
    case OperationRecord::ReadToFile:
        return (double)juce::jmax<juce::int64>(job.length, sysex::kBlockSize);
    default:
        return sysex::kBlockSize;
    }
}
} // namespace

void SteadyProgress::start(const std::vector<OperationRecord>& jobs,
                           const std::function<juce::String(const OperationRecord&)>& phaseOf)
{
    weights.clear();
    phases.clear();
    for (const auto& job : jobs)
    {
        weights.push_back(weightOf(job));
        phases.add(phaseOf(job));
    }
    index = 0;
    doneWeight = jobShare = highest = 0;
    totalWeight = 0;
    for (auto w : weights)
        totalWeight += w;
}

void SteadyProgress::jobDone()
{
    if (index >= weights.size())
        return;
    doneWeight += weights[index++];
    jobShare = 0;
}

void SteadyProgress::jobProgress(int value, int total)
{
    if (total > 0 && index < weights.size())
        jobShare = juce::jlimit(0.0, 1.0, (double)value / total);
}

double SteadyProgress::fraction()
{
    if (totalWeight <= 0)
        return 0;
    const double current = index < weights.size() ? weights[index] * jobShare : 0.0;
    highest = juce::jmax(highest, juce::jlimit(0.0, 1.0, (doneWeight + current) / totalWeight));
    return highest;
}

juce::String SteadyProgress::phase() const
{
    return index < (size_t)phases.size() ? phases[(int)index] : juce::String();
}
