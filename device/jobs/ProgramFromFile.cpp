#include "device/Communication.h"
#include "device/Jobs.h"
#include "device/SysexCodec.h"

const char* const jobs::ProgramFromFile::name = "program from file";

void jobs::ProgramFromFile::start(Communication& link) const
{
    link.programFile(path, page, fileOffset, flashOffset, length, shareStart, shareEnd);
}

double jobs::ProgramFromFile::weight() const
{
    return (double)juce::jmax<juce::int64>(length, sysex::kBlockSize);
}
