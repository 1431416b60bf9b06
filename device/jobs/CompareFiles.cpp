#include "device/Communication.h"
#include "device/Jobs.h"

const char* const jobs::CompareFiles::name = "compare";

void jobs::CompareFiles::start(Communication& link) const
{
    link.compareFiles(writtenPath, fileOffset, readBackPath);
}
