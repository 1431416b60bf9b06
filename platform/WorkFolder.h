#pragma once
#include <functional>
#include <juce_core/juce_core.h>

namespace platform
{
// The folder of the lock, backup, read-back and version files. TAMARIND_WORK_DIR
// overrides it. On Windows it is the user's temporary folder; elsewhere a
// persistent per-user folder, because the lock and backup must survive a reboot.
// The folder is created when missing, with mode 0700.
juce::File workingFolder();

// Full path of a working file: the folder's full path followed by a name that
// starts with "/", such as "/orv_update.lock".
juce::String workingFilePath(const char* nameWithSlash);

// Folder of the running executable, with its trailing separator.
juce::String programFolderOf(const juce::String& executablePath);
juce::String currentProgramFolder();

// Flushes a file's data and its folder entry to disk (best effort where the
// platform has no such call). Returns false when the data could not be synced.
bool syncFileToDisk(const juce::File& file);
// Test seam: sees every file synced by syncFileToDisk, with the result.
void setSyncObserver(std::function<void(const juce::File&, bool)> observer);
} // namespace platform
