#pragma once

// The words the layers share, by name everywhere, posted events included.

// Why a device job failed: the reason of a failed EvStepDone.
enum class StepFailure : int
{
    none = 0,           // a failure without a status line of its own (such as a failed flash test)
    cantCreateFile = 1, // a read could not create or write its file
    dataNotCorrect = 2, // a compare found a difference, or a block stayed broken
    cantCreateLock = 3, // the lock could not be created (or the backup is not trusted)
    cantDeleteLock = 4, // the lock could not be removed
    timeOut = 5,        // the instrument stopped answering
    cantOpenFileToProgram = 6,
    flashOperationFailed = 7, // the instrument refused or failed erasing or programming
    unclearReplies = 8,       // replies nobody asked for came around a decisive answer
    backupNotTrusted = 9,     // data arrived after the backup was read: it may be shifted
    backupOfAnotherPiano = 10 // the saved backup does not fit the connected piano
};

// The status line of a failed job; nullptr for `none`.
inline const char* stepFailureText(StepFailure reason)
{
    switch (reason)
    {
    case StepFailure::cantCreateFile:
        return "Can't create file to save data.";
    case StepFailure::dataNotCorrect:
        return "The data read from flash is not correct.";
    case StepFailure::cantCreateLock:
        return "Can't create lock file!";
    case StepFailure::cantDeleteLock:
        return "Can't delete lock file!";
    case StepFailure::timeOut:
        return "Time out!";
    case StepFailure::cantOpenFileToProgram:
        return "Can't open file to program.";
    case StepFailure::flashOperationFailed:
        return "The flash operation failed.";
    case StepFailure::unclearReplies:
        return "The piano's replies were not clear. Please try again.";
    case StepFailure::backupNotTrusted:
        return "The backup of the piano's data was not read cleanly. Nothing was changed; press UPDATE "
               "again.";
    case StepFailure::backupOfAnotherPiano:
        return "The saved backup belongs to another piano. Nothing was changed.";
    default:
        return nullptr;
    }
}

// The first parameter of EvProgress.
enum class ProgressKind : int
{
    ended = 0,    // an erase range, a transfer or a read ended; nothing to draw
    erase = 1,    // sectors erased of sectors in the range
    transfer = 2, // bytes acknowledged of bytes to send
    read = 3,     // bytes stored of bytes to read
    share = 4     // the job's share of the whole bar, in tenths of a percent
};

// What a lock-file job does.
enum class LockMode : int
{
    create = 0,
    remove = 1,
    none = 2
};

// The completion tone that ends an operation (when the user wants tones).
enum class Tone : int
{
    failure = 0, // two low beeps
    success = 1  // one high beep
};

// What the connection picture shows.
enum class ConnectionPicture : int
{
    scanning = 0,
    notConnected = 1,
    fullSpeed = 2,
    highSpeed = 3
};
