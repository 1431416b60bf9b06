#include "update/UpdateHistory.h"
#include "core/JsonText.h"
#include "platform/SafeFile.h"
#include <cmath>

namespace history
{
namespace
{
// The text fields with their keys, in the order they are written.
template <typename R, typename Visit> void forEachText(R& r, Visit&& visit)
{
    visit("program", r.program);
    visit("input", r.input);
    visit("output", r.output);
    visit("flash", r.flash);
    visit("versionBefore", r.versionBefore);
    visit("versionAfter", r.versionAfter);
    visit("image", r.image);
    visit("imageMd5", r.imageMd5);
    visit("path", r.path);
    visit("result", r.result);
}

// The framework writes a character beyond the Basic Multilingual Plane as
// two escaped UTF-16 halves, but its parser reads each half as a character of
// its own: the pairs are joined again here.
juce::String joinSurrogatePairs(const juce::String& text)
{
    juce::String out;
    for (auto p = text.getCharPointer(); !p.isEmpty();)
    {
        auto c = p.getAndAdvance();
        const auto next = *p;
        if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF)
        {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++p;
        }
        out += juce::String::charToString(c);
    }
    return out;
}

bool readTime(const juce::var& value, juce::Time& time)
{
    if (!value.isString() || value.toString().isEmpty())
        return false;
    time = juce::Time::fromISO8601(value.toString());
    return time.toMilliseconds() != 0;
}

// Port names and paths come from outside: besides the ASCII control
// characters, C1 controls (NEL among them) and the Unicode line and paragraph
// separators break lines in some terminals and viewers.
juce::String printable(const juce::String& text)
{
    juce::String out;
    for (auto p = text.getCharPointer(); !p.isEmpty(); ++p)
    {
        const auto c = *p;
        const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
        out += juce::String::charToString(control ? (juce::juce_wchar)'?' : c);
    }
    return out;
}

juce::String orUnknown(const juce::String& text)
{
    return text.isNotEmpty() ? printable(text) : juce::String("unknown");
}

juce::File currentFile(const juce::File& folder)
{
    return folder.getChildFile(kFileName);
}

juce::File olderFile(const juce::File& folder)
{
    return folder.getChildFile(juce::String(kFileName) + ".1");
}

// Whether the file ends in the middle of a line (a write cut off by a crash):
// the next record then starts on a line of its own.
bool endsWithinALine(const juce::File& file, juce::int64 size)
{
    if (size <= 0)
        return false;
    juce::String problem;
    auto in = platform::RegularFileInput::open(file.getFullPathName(), false, problem);
    char last = '\n';
    return in != nullptr && in->setPosition(size - 1) && in->read(&last, 1) == 1 && last != '\n';
}

void readFile(const juce::File& file, Reading& reading)
{
    const auto path = file.getFullPathName();
    auto note = [&reading](const juce::String& problem)
    { reading.problem << (reading.problem.isEmpty() ? "" : "\n") << problem; };
    if (platform::inspectFile(path, false) == platform::FileKind::missing)
        return;
    juce::String problem;
    auto in = platform::RegularFileInput::open(path, false, problem);
    if (in == nullptr)
        return note(problem.isNotEmpty() ? problem : platform::refusal(path, "it cannot be read"));
    const auto size = in->getTotalLength();
    if (size > kMaxReadBytes)
        return note(platform::refusal(path, "too large for an update history"));
    juce::MemoryBlock bytes;
    // Only what was there when it was opened, even if the file grows meanwhile.
    if (size > 0 && (in->readIntoMemoryBlock(bytes, size) != (size_t)size || in->failed()))
        return note(platform::refusal(path, "it cannot be read"));
    for (const auto& line : juce::StringArray::fromLines(bytes.toString()))
    {
        if (line.trim().isEmpty())
            continue;
        juce::var value;
        Record record;
        if (juce::JSON::parse(line, value).wasOk() && fromVar(value, record))
            reading.records.push_back(record);
        else
            ++reading.badLines;
    }
}
} // namespace

juce::var toVar(const Record& r)
{
    juce::DynamicObject::Ptr object(new juce::DynamicObject());
    object->setProperty("start", r.start.toISO8601(true));
    object->setProperty("end", r.end.toISO8601(true));
    forEachText(r, [&](const char* key, const juce::String& text) { object->setProperty(key, text); });
    object->setProperty("ok", r.ok);
    // To the millisecond: the duration is measured no finer, and the line stays short.
    object->setProperty("seconds", std::round(r.seconds * 1000.0) / 1000.0);
    return juce::var(object.get());
}

bool fromVar(const juce::var& value, Record& record)
{
    auto* object = value.getDynamicObject();
    if (object == nullptr)
        return false;
    Record r;
    if (!readTime(object->getProperty("start"), r.start) || !readTime(object->getProperty("end"), r.end))
        return false;
    bool allText = true;
    forEachText(r,
                [&](const char* key, juce::String& text)
                {
                    const auto& field = object->getProperty(key);
                    allText = allText && field.isString();
                    text = joinSurrogatePairs(field.toString());
                });
    if (!allText)
        return false;
    const auto& ok = object->getProperty("ok");
    const auto& seconds = object->getProperty("seconds");
    if (!ok.isBool() || !(seconds.isDouble() || seconds.isInt() || seconds.isInt64()))
        return false;
    r.ok = (bool)ok;
    r.seconds = (double)seconds;
    record = r;
    return true;
}

juce::String describe(const Record& r)
{
    juce::String kind;
    if (r.path == "safe" || r.path == "plain")
        kind = r.path + " update";
    else
        kind = orUnknown(r.path);
    juce::String text;
    text << r.start.formatted("%Y-%m-%d %H:%M:%S") << "  " << orUnknown(r.result) << "  (" << kind << ", "
         << orUnknown(r.versionBefore) << " -> " << orUnknown(r.versionAfter) << ", flash "
         << orUnknown(r.flash) << ", input \"" << printable(r.input) << "\", output \"" << printable(r.output)
         << "\", " << juce::String(r.seconds, 1) << " s)";
    return text;
}

juce::String append(const juce::File& folder, const Record& record)
{
    const auto file = currentFile(folder);
    const auto path = file.getFullPathName();
    const auto line = toJsonLine(toVar(record)) + "\n";
    const auto lineBytes = (juce::int64)line.getNumBytesAsUTF8();
    juce::String problem;
    auto out = platform::WorkingFileOutput::create(path, problem, true);
    if (out == nullptr)
        return problem.isNotEmpty() ? problem : "Can't open " + platform::printablePath(path) + " to write";
    auto size = out->getSize();
    if (size > 0 && size + lineBytes > kMaxFileBytes)
    {
        // Opened first, so what is moved aside is known to be our own file.
        out.reset();
        const auto older = olderFile(folder);
        const auto kind = platform::inspectFile(older.getFullPathName(), false);
        if (kind != platform::FileKind::missing && kind != platform::FileKind::regular)
            return platform::refusal(older.getFullPathName(), platform::describeKind(kind));
        if (!file.moveFileTo(older))
            return "Can't move " + platform::printablePath(path) + " to " +
                   platform::printablePath(older.getFullPathName());
        out = platform::WorkingFileOutput::create(path, problem, true);
        if (out == nullptr)
            return problem.isNotEmpty() ? problem
                                        : "Can't open " + platform::printablePath(path) + " to write";
        size = out->getSize();
    }
    const auto text = endsWithinALine(file, size) ? "\n" + line : line;
    if (!out->write(text.toRawUTF8(), text.getNumBytesAsUTF8()))
        return "Can't write " + platform::printablePath(path) + ": " + out->getStatus().getErrorMessage();
    return {};
}

Reading read(const juce::File& folder)
{
    Reading reading;
    readFile(olderFile(folder), reading);
    readFile(currentFile(folder), reading);
    return reading;
}
} // namespace history
