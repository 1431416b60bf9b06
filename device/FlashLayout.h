#pragma once
#include <juce_core/juce_core.h>

// Where an update puts what in the instrument's flash.

// A range of flash bytes (page 0).
struct Region
{
    juce::int64 start, length;
    constexpr juce::int64 end() const { return start + length; }
};

namespace region
{
constexpr Region imageLow{0, 0x20000};         // the image's first sectors, its version area among them
constexpr Region imageHigh{0x20000, 0x20000};  // the rest of an image of the safe size
constexpr Region data{0x40000, 0x20000};       // the user's data: kept by the safe path
constexpr Region interim{0x40000, 0x10000};    // where the interim program runs while the image is written
constexpr Region zeroPage{0xF000, 0x1000};     // cleared so that the instrument starts the interim program
constexpr Region versionArea{0x1F000, 0x2000}; // read at connection for the instrument's version
// Images up to this size keep the data region (the safe path); larger ones
// overwrite it (the plain path), from `plainRest` on first.
constexpr juce::int64 safeImageLimit = data.start;
constexpr juce::int64 plainRest = data.end();
static_assert(imageHigh.end() == safeImageLimit, "the image's two regions make an image of the safe size");
} // namespace region
