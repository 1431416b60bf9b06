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

namespace
{
// Decimal, or hexadecimal with a 0x prefix.
juce::int64 number(const juce::String& v)
{
    return v.startsWithIgnoreCase("0x") ? v.substring(2).getHexValue64() : v.getLargeIntValue();
}

bool flag(const juce::String& v)
{
    return v == "1" || v.equalsIgnoreCase("true") || v.equalsIgnoreCase("on");
}

int count(const juce::String& v, juce::int64 low, juce::int64 high)
{
    return (int)juce::jlimit<juce::int64>(low, high, number(v));
}

using Setter = void (*)(PianoConfig&, const juce::String&);

// Each key and what it sets.
const std::pair<const char*, Setter> keys[] = {
    {"flash", [](PianoConfig& c, const juce::String& v) { c.flash = v; }},
    {"cs", [](PianoConfig& c, const juce::String& v) { c.chipSelect = juce::jlimit(0, 1, v.getIntValue()); }},
    {"store", [](PianoConfig& c, const juce::String& v) { c.store = v; }},
    {"product", [](PianoConfig& c, const juce::String& v) { c.product = v; }},
    {"version", [](PianoConfig& c, const juce::String& v) { c.version = v; }},
    {"speed", [](PianoConfig& c, const juce::String& v) { c.fullSpeed = !v.equalsIgnoreCase("high"); }},
    {"modebyte", [](PianoConfig& c, const juce::String& v) { c.identifyModeByte = flag(v); }},
    {"packet", [](PianoConfig& c, const juce::String& v) { c.packetBytes = juce::jlimit(1, 4100, v.getIntValue()); }},
    {"noack", [](PianoConfig& c, const juce::String& v) { c.noAck = flag(v); }},
    {"instruments", [](PianoConfig& c, const juce::String& v) { c.instruments = juce::jlimit(1, 8, v.getIntValue()); }},
    {"timing", [](PianoConfig& c, const juce::String& v) { c.timing = flag(v); }},
    {"link", [](PianoConfig& c, const juce::String& v) { c.linkBytesPerMs = juce::jmax(0.001, v.getDoubleValue()); }},
    {"latency", [](PianoConfig& c, const juce::String& v) { c.latencyMs = juce::jmax(0.0, v.getDoubleValue()); }},
    {"erase_ms", [](PianoConfig& c, const juce::String& v) { c.sectorEraseMs = juce::jmax(0.0, v.getDoubleValue()); }},
    {"program_us",
     [](PianoConfig& c, const juce::String& v) { c.bufferProgramUs = juce::jmax(0.0, v.getDoubleValue()); }},
    {"silent_after", [](PianoConfig& c, const juce::String& v) { c.silentAfter = (int)number(v); }},
    {"drop", [](PianoConfig& c, const juce::String& v) { c.dropReply = (int)number(v); }},
    {"corrupt_block", [](PianoConfig& c, const juce::String& v) { c.corruptBlock = (int)number(v); }},
    {"corrupt_always", [](PianoConfig& c, const juce::String& v) { c.corruptAlways = flag(v); }},
    {"status2_at", [](PianoConfig& c, const juce::String& v) { c.status2At = (int)number(v); }},
    {"status3_at", [](PianoConfig& c, const juce::String& v) { c.status3At = (int)number(v); }},
    {"silent_on_read", [](PianoConfig& c, const juce::String& v) { c.silentOnRead = number(v); }},
    {"cut_after", [](PianoConfig& c, const juce::String& v) { c.cutAfterBytes = number(v); }},
    {"cut_in_erase", [](PianoConfig& c, const juce::String& v) { c.cutInErase = (int)number(v); }},
    {"dup_status_at",
     [](PianoConfig& c, const juce::String& v)
     {
         c.dupAt = (int)number(v);
         c.dupCopies = 1;
     }},
    {"dup_status_burst", // N:K, K extra copies of the replies to message N
     [](PianoConfig& c, const juce::String& v)
     {
         c.dupAt = (int)number(v.upToFirstOccurrenceOf(":", false, false));
         c.dupCopies = count(v.fromFirstOccurrenceOf(":", false, false), 1, 1000000);
     }},
    {"identify_flood", [](PianoConfig& c, const juce::String& v) { c.identifyFlood = count(v, 1, 1000000); }},
    {"dup_from_upload", [](PianoConfig& c, const juce::String& v) { c.dupFromUpload = flag(v); }},
    {"dup_delay", // the copies leave this many ms after the reply (timing model)
     [](PianoConfig& c, const juce::String& v) { c.dupDelayMs = juce::jlimit(0.0, 10000.0, v.getDoubleValue()); }},
    {"stray_packet_at", [](PianoConfig& c, const juce::String& v) { c.strayPacketAt = (int)number(v); }},
    {"stray_status_every", [](PianoConfig& c, const juce::String& v) { c.strayStatusEveryMs = count(v, -1, 3600000); }},
    {"stray_status_after", [](PianoConfig& c, const juce::String& v) { c.strayStatusAfter = (int)number(v); }},
};
} // namespace

PianoConfig PianoConfig::parse(const juce::String& text, juce::String* error)
{
    PianoConfig c;
    for (auto pair : juce::StringArray::fromTokens(text, ",", {}))
    {
        pair = pair.trim();
        if (pair.isEmpty())
            continue;
        const auto key = pair.upToFirstOccurrenceOf("=", false, false).trim();
        const auto value = pair.fromFirstOccurrenceOf("=", false, false).trim();
        bool known = false;
        for (const auto& [name, set] : keys)
            if (key == name)
            {
                set(c, value);
                known = true;
            }
        if (!known && error != nullptr)
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
