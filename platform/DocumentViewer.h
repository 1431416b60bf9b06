#pragma once
#include <functional>
#include <juce_events/juce_events.h>
#include <vector>

namespace platform
{
// Opens a document with the desktop's default viewer, never through a shell:
// the desktop's launcher ("xdg-open") gets the path as its one argument, or
// ShellExecuteW on Windows. Only a regular file is handed over.
class DocumentViewer final : private juce::Timer
{
public:
    ~DocumentViewer() override;

    // False, with `problem` set (a sentence without a full stop), when the
    // file is not a regular file or the launcher could not be started.
    bool open(const juce::String& path, juce::String& problem);

    // Called on the message thread when a launcher that was started ends
    // with a failure (its exit status; 128 + the signal when killed).
    std::function<void(int status)> onLauncherFailed;

private:
    void timerCallback() override;
    std::vector<int> launchers; // process ids not yet ended
};
} // namespace platform
