#include "device/Communication.h"
#include "device/Jobs.h"

const char* const jobs::ReadVersion::name = "version";

void jobs::ReadVersion::start(Communication& link) const
{
    link.postVersionFromFile(path);
}
