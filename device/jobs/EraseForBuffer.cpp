#include "device/Communication.h"
#include "device/Jobs.h"
#include "device/SysexCodec.h"

const char* const jobs::EraseForBuffer::name = "erase run (buffer)";

void jobs::EraseForBuffer::start(Communication& link) const
{
    link.eraseForBuffer(flashOffset, length, shareStart, shareEnd);
}

double jobs::EraseForBuffer::weight() const
{
    return (double)juce::jmax<juce::int64>(length, sysex::kBlockSize);
}
