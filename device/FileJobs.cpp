#include "device/FileJobs.h"
#include "platform/SafeFile.h"
#include "platform/WorkFolder.h"
#include <vector>

namespace filejobs
{
CompareOutcome compare(juce::InputStream& written, juce::int64 offset, juce::InputStream& readBack)
{
    const juce::int64 sizeW = written.getTotalLength();
    const juce::int64 sizeR = readBack.getTotalLength();
    if (sizeW < offset || offset < 0)
        return CompareOutcome::offsetBeyondEnd;
    const juce::int64 remaining = sizeW - offset;
    const juce::int64 n = juce::jmin(remaining, sizeR);
    written.setPosition(offset);
    std::vector<char> a(0x10000), b(0x10000);
    for (juce::int64 done = 0; done < n;)
    {
        const int chunk = (int)juce::jmin<juce::int64>((juce::int64)a.size(), n - done);
        if (written.read(a.data(), chunk) != chunk || readBack.read(b.data(), chunk) != chunk ||
            std::memcmp(a.data(), b.data(), (size_t)chunk) != 0)
            return CompareOutcome::differ;
        done += chunk;
    }
    return remaining != sizeR ? CompareOutcome::sameOneLonger : CompareOutcome::same;
}

bool createLock(const juce::File& lock, juce::String& problem, platform::Services& services)
{
    bool ok = false;
    if (lock == juce::File())
        return false;
    if (auto out = platform::WorkingFileOutput::create(lock.getFullPathName(), problem))
    {
        ok = out->writeText(kLockText, false, false, nullptr);
        out->flush();
        ok = ok && out->getStatus().wasOk();
    }
    return ok && services.syncToDisk(lock);
}

bool removeLock(const juce::File& lock, juce::String& problem, platform::Services& services)
{
    if (lock == juce::File() || !platform::removeWorkingFile(lock.getFullPathName(), problem))
        return false;
    services.syncToDisk(lock.getParentDirectory());
    return true;
}
} // namespace filejobs
