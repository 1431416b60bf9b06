#pragma once
#include "platform/WorkingFiles.h"
#include <juce_core/juce_core.h>
#include <memory>

namespace platform
{
// One update at a time per working folder: an exclusive lock of the operating
// system (flock, LockFileEx on Windows) on a file in the folder, held while
// this object lives. The lock dies with the process that holds it, so a crash
// or a power cut never leaves a stale one behind; the file itself may stay.
// A second holder is refused also inside one process.
class FolderLock final
{
public:
    enum class Result
    {
        taken,
        busy,  // another holder has it
        failed // the file cannot be made or opened (`problem` says why)
    };

    // Never waits. Null unless `result` is taken.
    static std::unique_ptr<FolderLock> take(const juce::String& path, Result& result, juce::String& problem);
    ~FolderLock();

private:
    explicit FolderLock(juce::int64 h) : handle(h) {}
    juce::int64 handle;
    JUCE_DECLARE_NON_COPYABLE(FolderLock)
};
} // namespace platform
