#pragma once

// The files in the working folder, each named here only. The names start
// with "/", as workingFilePath takes them; fileName() drops it.
namespace platform
{
constexpr const char* kUpdateLockFile = "/orv_update.lock";  // an update is under way: repair from the backup
constexpr const char* kBackupFile = "/orv_backup.tmp";       // the data region, saved before the update
constexpr const char* kBackupRecordFile = "/orv_backup.xml"; // whose backup it is
constexpr const char* kReadBackFile = "/orv_tmp_read.tmp";   // the flash read back for the compares
constexpr const char* kRegionCheckFile = "/orv_data_check.tmp"; // a repair's read of the data region
constexpr const char* kVersionReadFile = "/orv_read_version.bin";
constexpr const char* kCliReadFile = "/orv_cli_read.tmp";        // the command line's reads of flash ranges
constexpr const char* kVerifyReadFile = "/orv_verify_read.tmp";  // the command line's verify
constexpr const char* kFolderLockName = "/Tamarind-update.lock"; // one update at a time per folder

constexpr const char* fileName(const char* nameWithSlash)
{
    return nameWithSlash + 1;
}
} // namespace platform
