// Driver header readers on arbitrary images.
#include "device/DriverImages.h"
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const int length = (int)std::min<size_t>(size, 1 << 20);
    char mcu[18], flash[18];
    driverimage::readNames(data, length, mcu, flash);
    if (std::strlen(mcu) > 17 || std::strlen(flash) > 17)
        __builtin_trap();
    const auto table = driverimage::readSectors(data, length);
    juce::int64 expected = 0;
    for (auto& s : table)
    {
        if (s.start != expected || s.size <= 0)
            __builtin_trap();
        expected += s.size;
    }
    return 0;
}
