// The version block reader and the image check on arbitrary files.
#include "update/UpdateImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const juce::File file = juce::File::createTempFile(".rom");
    file.replaceWithData(data, size);
    for (const juce::int64 marker :
         {image::kMarkerOffsetInVersionRead, image::kMarkerOffsetInImage, (juce::int64)0, (juce::int64)size})
    {
        auto block = readVersionBlock(file.getFullPathName(), marker);
        if (block[image::kVersionBlockUnits - 1] != 0)
            __builtin_trap(); // the zero fill always ends the name
        versionBlockText(block.get(), 0);
        versionBlockText(block.get(), image::kProductNameIndex);
    }
    UpdateFileFacts facts;
    const int result = checkUpdateImage(file.getFullPathName(), {}, nullptr, facts);
    if (result < 0 || result > 6)
        __builtin_trap();
    return 0;
}
