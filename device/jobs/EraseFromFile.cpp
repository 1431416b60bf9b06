#include "device/Communication.h"
#include "device/Jobs.h"
#include "device/SysexCodec.h"

template <> const char* const jobs::FromFile<jobs::FileWork::erase>::name = "erase run (file)";

template <> void jobs::FromFile<jobs::FileWork::erase>::start(Communication& link) const
{
    link.eraseFromFile(path, page, flashOffset, length, fileOffset, shareStart, shareEnd);
}

template <> double jobs::FromFile<jobs::FileWork::erase>::weight() const
{
    return (double)juce::jmax<juce::int64>(length, sysex::kBlockSize);
}
