#pragma once
#include "device/Jobs.h"
#include <functional>
#include <vector>

// One bar for a whole job list that only climbs: each job weighs what it
// moves (its bytes; a small job a block's worth), the running job adds its
// own done share, and the list ends at 1. The window's bar follows the jobs'
// own shares instead; this one is for views that show a single line, such as
// a terminal, and names the running job's phase.
class SteadyProgress final
{
public:
    // The list's phases, one per job, as `phaseOf` names them.
    void start(const std::vector<OperationRecord>& list,
               const std::function<juce::String(const OperationRecord&)>& phaseOf);
    void jobDone(); // the running job ended well; the next one runs
    void jobProgress(int value, int total);

    double fraction(); // never less than it was
    juce::String phase() const;

private:
    std::vector<double> weights;
    juce::StringArray phases;
    size_t index = 0;
    double doneWeight = 0, totalWeight = 0, jobShare = 0, highest = 0;
};
