#include "controller/SteadyProgress.h"

void SteadyProgress::start(const std::vector<OperationRecord>& list,
                           const std::function<juce::String(const OperationRecord&)>& phaseOf)
{
    weights.clear();
    phases.clear();
    for (const auto& job : list)
    {
        weights.push_back(jobs::weight(job));
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
