#include "device/Communication.h"
#include "device/Jobs.h"
#include "device/SysexCodec.h"

template <> const char* const jobs::FromFile<jobs::FileWork::program>::name = "program from file";

template <> void jobs::FromFile<jobs::FileWork::program>::start(Communication& link) const
{
    link.programFile(path, page, fileOffset, flashOffset, length, shareStart, shareEnd);
}

template <> double jobs::FromFile<jobs::FileWork::program>::weight() const
{
    return (double)juce::jmax<juce::int64>(length, sysex::kBlockSize);
}
