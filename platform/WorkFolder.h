#pragma once
#include <functional>
#include <juce_core/juce_core.h>

namespace platform
{
// The folder of the lock, backup, read-back and version files. TAMARIND_WORK_DIR
// overrides it. It is a persistent per-user folder, because the lock and backup
// must survive a reboot: %LOCALAPPDATA%\Tamarind on Windows (where disk
// clean-up may empty the temporary folder), $XDG_STATE_HOME/Tamarind elsewhere.
// The folder is created when missing, with mode 0700.
juce::File workingFolder();

// Earlier versions kept the working files in the temporary folder on Windows.
// While a lock of an interrupted update lies in `earlier` and none in
// `preferred`, `earlier` stays the working folder, so the repair finds the lock
// and the backup beside it; otherwise `preferred`.
juce::File chooseWorkingFolder(const juce::File& preferred, const juce::File& earlier);

// Full path of a working file: the folder's full path followed by a name that
// starts with "/", such as kUpdateLockFile (see WorkingFiles.h).
juce::String workingFilePath(const char* nameWithSlash);

// Folder of the running executable, with its trailing separator: the real
// file's folder, also when the program was started through a link.
juce::String programFolderOf(const juce::String& executablePath);
juce::String currentProgramFolder();

// Flushes a file's data and its folder entry to disk. Returns false when the
// data could not be synced. On Windows only the data is flushed
// (FlushFileBuffers); a folder cannot be synced there and returns false.
bool syncFileToDisk(const juce::File& file);
} // namespace platform
