#include "device/Communication.h"
#include "device/Jobs.h"
#include "device/SysexCodec.h"

const char* const jobs::ReadToFile::name = "read";

void jobs::ReadToFile::start(Communication& link) const
{
    link.readToFile(path, page, flashOffset, length, shareStart, shareEnd);
}

double jobs::ReadToFile::weight() const
{
    return (double)juce::jmax<juce::int64>(length, sysex::kBlockSize);
}
