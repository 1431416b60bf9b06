#pragma once
#include "platform/Services.h"
#include "platform/WorkingFiles.h"
#include <juce_core/juce_core.h>
#include <optional>

// What the program knows of the piano a backup of the data region came from,
// kept beside the backup (platform::kBackupRecordFile) from the moment the lock is made.
// A repair writes the backup only into a piano it fits, and the notice of an
// interrupted update names that piano.
struct BackupRecord
{
    juce::String flashModel, inputPort, outputPort, product, version;
    juce::int64 backupLength = 0;
    juce::String backupMd5, imageMd5, time;

    // "the piano on input IN and output OUT (flash F, product P, version V
    // before the update), backed up at TIME"
    juce::String describe() const;
    juce::String toXmlText() const;
    static std::optional<BackupRecord> fromXmlText(const juce::String& text);
};

namespace backuprecord
{
constexpr const char* kFileName = platform::fileName(platform::kBackupRecordFile);

// The record's file beside `backup`.
juce::File recordFileOf(const juce::File& backup);

// Written whole and synced before it returns true; anything but a regular
// file of ours in its place is refused with `problem` set.
bool write(const juce::File& file, const BackupRecord& record, juce::String& problem,
           platform::Services& services);

// Read and parsed: nothing when the file is missing; `problem` is set when it
// is there but refused, too large or not a record.
std::optional<BackupRecord> read(const juce::File& file, juce::String& problem);

// The MD5 of a regular file's content (hex), and its length; empty when it
// cannot be read.
juce::String md5OfFile(const juce::File& file, juce::int64* length = nullptr);

// Whether a piano's data region (as read now) fits an interrupted update of
// `backup`: each block is a form of the backup or of `interim` (bytes past
// `interimLength` count as erased) on the way from or to erased flash.
// Erasing only sets bits and programming only clears them, so every byte b
// of such a form of x keeps the 1 bits of x: (b & x) == x. An erased block
// and the backup itself are such forms too.
bool regionFits(const juce::uint8* region, const juce::uint8* backup, juce::int64 length,
                const juce::uint8* interim, juce::int64 interimLength, int blockBytes,
                int* firstForeignBlock = nullptr);
} // namespace backuprecord
