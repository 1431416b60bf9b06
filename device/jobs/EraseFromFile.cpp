#include "device/Communication.h"
#include "device/Jobs.h"
#include "device/SysexCodec.h"

const char* const jobs::EraseFromFile::name = "erase run (file)";

void jobs::EraseFromFile::start(Communication& link) const
{
    link.eraseFromFile(path, page, flashOffset, length, fileOffset, shareStart, shareEnd);
}

double jobs::EraseFromFile::weight() const
{
    return (double)juce::jmax<juce::int64>(length, sysex::kBlockSize);
}
