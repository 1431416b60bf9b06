#pragma once
#include <cstring>
#include <juce_core/juce_core.h>

// An input stream read once from its start, handed on from a block that the
// subclass fills as each is used up: reading a file in bounded blocks while
// something is done with each block as it passes (a digest fed, a head kept).
class BlockedInput : public juce::InputStream
{
public:
    explicit BlockedInput(size_t blockBytes) : block(blockBytes) {}

    bool isExhausted() override { return used == available && ended; }
    juce::int64 getPosition() override { return position; }
    int read(void* destination, int wanted) override
    {
        int given = 0;
        while (given < wanted)
        {
            if (used == available && (ended || !refill()))
                break;
            const int n = juce::jmin(wanted - given, available - used);
            std::memcpy(static_cast<char*>(destination) + given, block.get() + used, (size_t)n);
            used += n;
            given += n;
        }
        position += given;
        return given;
    }

protected:
    // Puts the next bytes into `block` and sets `available` and `used` (0);
    // at the end, sets `ended` and returns false.
    virtual bool refill() = 0;

    juce::HeapBlock<char> block;
    int available = 0, used = 0;
    bool ended = false;
    juce::int64 position = 0;
};
