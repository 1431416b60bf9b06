#pragma once
#include "core/Vocabulary.h"
#include <juce_core/juce_core.h>

// What the update controller shows and asks: the window implements it, and so
// does the command-line tool. Called on the message thread.
class UpdateView
{
public:
    virtual ~UpdateView() = default;

    virtual void showStatus(const juce::String& text) = 0;
    virtual void showConnection(ConnectionPicture picture) = 0;
    // The progress bar of a job list: shown or hidden, and its value (0..1).
    virtual void showProgressBar(bool visible) = 0;
    virtual void showProgress(double fraction) = 0;
    // The same job list as one bar that only climbs from 0 to 1, with the
    // running job's phase ("driver", "backup", "check", "lock", "erase",
    // "program", "restore", "read", "read-back", "compare"); 1 and an empty
    // phase when the list ended well. For views of a single line.
    virtual void showSteadyProgress(const juce::String& phase, double fraction)
    {
        juce::ignoreUnused(phase, fraction);
    }
    // The instrument's version (empty: it has none), the image's, the instrument's name.
    virtual void showDeviceVersion(const juce::String& version) = 0;
    virtual void showFileVersion(const juce::String& version) = 0;
    enum class NameState
    {
        known,   // read from the instrument
        unknown, // the instrument gave none
        mismatch // the image is for another product
    };
    virtual void showDeviceName(const juce::String& name, NameState state) = 0;

    // The operation controls; UPDATE only when also `updateAllowed`.
    virtual void enableControls(bool enabled, bool updateAllowed) = 0;
    virtual void enableUpdate(bool enabled) = 0;
    // The control that scans for the instrument again.
    virtual void enableConnect(bool enabled) = 0;

    // A question with YES and NO; true for YES.
    virtual bool confirm(const juce::String& title, const juce::String& message) = 0;
    virtual void warn(const juce::String& title, const juce::String& text) = 0;
    virtual void playTone(Tone tone) = 0;

    // UPDATE started no update although the user said YES: the working folder
    // or the interrupted update's leftovers stand in the way. (A NO, or an
    // image that changed since its check, is no refusal.)
    enum class UpdateRefusal
    {
        folderBusy,          // another program holds the working folder's lock
        folderLockFailed,    // the lock could not be taken
        folderNotPrivate,    // the folder or a working file is not the user's alone
        unfixable,           // the last update left what cannot be repaired
        backupOfAnotherPiano // the saved backup does not fit this piano
    };
    virtual void updateRefused(UpdateRefusal why) { juce::ignoreUnused(why); }

    // An update runs (true) or no longer runs (false).
    virtual void updateRunning(bool running) = 0;
    // The update ended well: "Update OK!" is shown.
    virtual void updateSucceeded() = 0;
    // A job list started through runJobs ended.
    virtual void jobsEnded(bool ok) { juce::ignoreUnused(ok); }
};
