#include "device/Communication.h"
#include "device/Jobs.h"

const char* const jobs::SaveIoStatus::name = "save I/O status";

// The service driver's test that saves the instrument's I/O status.
void jobs::SaveIoStatus::start(Communication& link) const
{
    link.testFlash(0, "Save_IO_Sta");
}
