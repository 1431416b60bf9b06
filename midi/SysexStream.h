#pragma once
#include <juce_core/juce_core.h>
#include <vector>

namespace midi
{
// Splits a raw MIDI byte stream into complete SysEx messages (F0 ... F7).
// Bytes outside a message, real-time bytes and oversized messages are dropped.
class SysexStreamParser final
{
public:
    explicit SysexStreamParser(size_t maxMessage = 65536) : limit(maxMessage) { buffer.reserve(8192); }

    template <typename Handler> void feed(const juce::uint8* data, size_t count, Handler&& onMessage)
    {
        for (size_t i = 0; i < count; ++i)
        {
            const juce::uint8 b = data[i];
            if (b == 0xF0)
            {
                if (collecting)
                    ++cut;
                buffer.clear();
                buffer.push_back(b);
                collecting = true;
            }
            else if (!collecting || b >= 0xF8)
                continue;
            else if (b == 0xF7)
            {
                buffer.push_back(b);
                onMessage(buffer.data(), (int)buffer.size());
                collecting = false;
            }
            else if (b >= 0x80 || buffer.size() >= limit)
            {
                collecting = false;
                ++cut;
            }
            else
                buffer.push_back(b);
        }
    }

    // Messages dropped unfinished so far: cut by the next F0 or a status
    // byte, or grown past the limit.
    juce::uint64 cutMessages() const { return cut; }

private:
    std::vector<juce::uint8> buffer;
    size_t limit;
    bool collecting = false;
    juce::uint64 cut = 0;
};

// Keeps a write to a stalled peer from blocking for long, and stops a write to
// a closed connection from ending the process.
void configureStreamSocket(juce::StreamingSocket& socket, int sendTimeoutMs);
void ignoreBrokenPipeSignal();
} // namespace midi
