#include "device/Communication.h"
#include "device/Jobs.h"

const char* const jobs::CheckBackup::name = "backup check";

void jobs::CheckBackup::start(Communication& link) const
{
    link.checkBackupFits(backupPath, regionPath);
}
