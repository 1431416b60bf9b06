#include "device/Communication.h"
#include "device/Jobs.h"

const char* const jobs::LockFile::name = "lock file";

void jobs::LockFile::start(Communication& link) const
{
    link.writeLockFile(path, mode);
}
