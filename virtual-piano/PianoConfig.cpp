#include "virtual-piano/PianoConfig.h"

namespace vp
{
int sectorCountOfModel(const juce::String& model)
{
    if (model == "S29GL128_S")
        return 128;
    if (model == "S29GL256_S")
        return 256;
    if (model == "S29GL512_S")
        return 512;
    if (model == "S29GL01G_S")
        return 1024;
    return 0;
}

PianoConfig PianoConfig::parse(const juce::String& text, juce::String* error)
{
    PianoConfig c;
    // Decimal, or hexadecimal with a 0x prefix.
    auto number = [](const juce::String& v) -> juce::int64
    { return v.startsWithIgnoreCase("0x") ? v.substring(2).getHexValue64() : v.getLargeIntValue(); };
    auto flag = [](const juce::String& v)
    { return v == "1" || v.equalsIgnoreCase("true") || v.equalsIgnoreCase("on"); };
    for (auto pair : juce::StringArray::fromTokens(text, ",", {}))
    {
        pair = pair.trim();
        if (pair.isEmpty())
            continue;
        const auto key = pair.upToFirstOccurrenceOf("=", false, false).trim();
        const auto value = pair.fromFirstOccurrenceOf("=", false, false).trim();
        if (key == "flash")
            c.flash = value;
        else if (key == "cs")
            c.chipSelect = juce::jlimit(0, 1, value.getIntValue());
        else if (key == "store")
            c.store = value;
        else if (key == "product")
            c.product = value;
        else if (key == "version")
            c.version = value;
        else if (key == "speed")
            c.fullSpeed = !value.equalsIgnoreCase("high");
        else if (key == "modebyte")
            c.identifyModeByte = flag(value);
        else if (key == "packet")
            c.packetBytes = juce::jlimit(1, 4100, value.getIntValue());
        else if (key == "noack")
            c.noAck = flag(value);
        else if (key == "instruments")
            c.instruments = juce::jlimit(1, 8, value.getIntValue());
        else if (key == "timing")
            c.timing = flag(value);
        else if (key == "link")
            c.linkBytesPerMs = juce::jmax(0.001, value.getDoubleValue());
        else if (key == "latency")
            c.latencyMs = juce::jmax(0.0, value.getDoubleValue());
        else if (key == "erase_ms")
            c.sectorEraseMs = juce::jmax(0.0, value.getDoubleValue());
        else if (key == "program_us")
            c.bufferProgramUs = juce::jmax(0.0, value.getDoubleValue());
        else if (key == "silent_after")
            c.silentAfter = (int)number(value);
        else if (key == "drop")
            c.dropReply = (int)number(value);
        else if (key == "corrupt_block")
            c.corruptBlock = (int)number(value);
        else if (key == "corrupt_always")
            c.corruptAlways = flag(value);
        else if (key == "status2_at")
            c.status2At = (int)number(value);
        else if (key == "status3_at")
            c.status3At = (int)number(value);
        else if (key == "silent_on_read")
            c.silentOnRead = number(value);
        else if (key == "cut_after")
            c.cutAfterBytes = number(value);
        else if (key == "cut_in_erase")
            c.cutInErase = (int)number(value);
        else if (key == "dup_status_at")
        {
            c.dupAt = (int)number(value);
            c.dupCopies = 1;
        }
        else if (key == "dup_status_burst")
        {
            // N:K, K extra copies of the replies to message N.
            c.dupAt = (int)number(value.upToFirstOccurrenceOf(":", false, false));
            c.dupCopies = (int)juce::jlimit<juce::int64>(
                1, 1000000, number(value.fromFirstOccurrenceOf(":", false, false)));
        }
        else if (key == "identify_flood")
            c.identifyFlood = (int)juce::jlimit<juce::int64>(1, 1000000, number(value));
        else if (key == "stray_packet_at")
            c.strayPacketAt = (int)number(value);
        else if (key == "stray_status_every")
            c.strayStatusEveryMs = (int)juce::jlimit<juce::int64>(-1, 3600000, number(value));
        else if (key == "stray_status_after")
            c.strayStatusAfter = (int)number(value);
        else if (error != nullptr)
            *error << "unknown key " << key << "\n";
    }
    if (sectorCountOfModel(c.flash) == 0 && error != nullptr)
        *error << "unknown flash model " << c.flash << "\n";
    return c;
}

PianoConfig PianoConfig::fromEnvironment()
{
    juce::String error;
    auto c = parse(juce::SystemStats::getEnvironmentVariable("TAMARIND_VIRTUAL_PIANO", {}), &error);
    if (error.isNotEmpty())
        std::fprintf(stderr, "TAMARIND_VIRTUAL_PIANO: %s", error.toRawUTF8());
    return c;
}
} // namespace vp
