#include "device/Communication.h"
#include "device/Jobs.h"

const char* const jobs::CompareWithBuffer::name = "compare";

void jobs::CompareWithBuffer::start(Communication& link) const
{
    link.compareBuffer(data, length, readBackPath);
}
