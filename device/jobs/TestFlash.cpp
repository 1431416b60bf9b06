#include "device/Communication.h"
#include "device/Jobs.h"

const char* const jobs::TestFlash::name = "flash test";

// The careful test of the identification (see TransferEngine::startTestFlash).
void jobs::TestFlash::start(Communication& link) const
{
    link.testFlash(0, flashName.toRawUTF8(), true);
}
