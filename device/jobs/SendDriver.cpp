#include "device/Communication.h"
#include "device/Jobs.h"

const char* const jobs::SendDriver::name = "driver upload";

void jobs::SendDriver::start(Communication& link) const
{
    link.sendFlashDriver(image, length, driverName.toRawUTF8(), shareStart, shareEnd);
}

double jobs::SendDriver::weight() const
{
    return length;
}
