#pragma once
#include <juce_core/juce_core.h>

// What the checks see in an image file, for the tools that report on one.
struct ImageReport
{
    juce::String path;
    int result = 0;        // the check's result code (0: acceptable)
    juce::String status;   // its status text
    juce::String refusal;  // why the file was not read ("a FIFO", ...), if it was not
    juce::int64 size = -1; // -1: not known
    juce::String version, product;
    juce::String md5; // of the bytes checked; empty when they were not read
    // The first byte and the two signature bytes as the check read them
    // (0 where the file has none); meaningful when md5 is set.
    juce::uint8 firstByte = 0, signature[2] = {0, 0};
};

// Checks the image at `path` (as UPDATE would, against `deviceProduct` when
// given) and reports what it found. The file is read once, in bounded blocks:
// memory does not grow with the image.
ImageReport describeImage(const juce::String& path, const juce::String& deviceProduct = {});

// The report as lines of "name: value".
juce::String formatImageReport(const ImageReport& report);
