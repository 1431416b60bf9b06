#include "device/Communication.h"
#include "device/Jobs.h"
#include "device/SysexCodec.h"

const char* const jobs::ProgramFromBuffer::name = "program from memory";

void jobs::ProgramFromBuffer::start(Communication& link) const
{
    link.programBuffer(data, 0, flashOffset, length, shareStart, shareEnd);
}

double jobs::ProgramFromBuffer::weight() const
{
    return (double)juce::jmax<juce::int64>(length, sysex::kBlockSize);
}
