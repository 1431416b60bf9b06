#include "device/BackupRecord.h"
#include "platform/SafeFile.h"
#include <juce_cryptography/juce_cryptography.h>

namespace
{
constexpr juce::int64 kMaxRecordBytes = 64 * 1024;
const char* const kTag = "TamarindBackup";
} // namespace

juce::String BackupRecord::describe() const
{
    // The record's texts come from port names and the piano: no control
    // character of theirs may forge a log line.
    auto field = [](const juce::String& text)
    { return text.isNotEmpty() ? platform::printablePath(text) : juce::String("unknown"); };
    juce::String text;
    text << "the piano on input \"" << field(inputPort) << "\" and output \"" << field(outputPort)
         << "\" (flash " << field(flashModel) << ", product " << field(product) << ", version "
         << field(version) << " before the update), backed up " << field(time);
    return text;
}

juce::String BackupRecord::toXmlText() const
{
    juce::XmlElement xml(kTag);
    xml.setAttribute("flash", flashModel);
    xml.setAttribute("input", inputPort);
    xml.setAttribute("output", outputPort);
    xml.setAttribute("product", product);
    xml.setAttribute("version", version);
    xml.setAttribute("backupLength", juce::String(backupLength));
    xml.setAttribute("backupMd5", backupMd5);
    xml.setAttribute("imageMd5", imageMd5);
    xml.setAttribute("time", time);
    return xml.toString();
}

std::optional<BackupRecord> BackupRecord::fromXmlText(const juce::String& text)
{
    const auto xml = juce::parseXML(text);
    if (xml == nullptr || !xml->hasTagName(kTag))
        return std::nullopt;
    BackupRecord r;
    r.flashModel = xml->getStringAttribute("flash");
    r.inputPort = xml->getStringAttribute("input");
    r.outputPort = xml->getStringAttribute("output");
    r.product = xml->getStringAttribute("product");
    r.version = xml->getStringAttribute("version");
    r.backupLength = xml->getStringAttribute("backupLength").getLargeIntValue();
    r.backupMd5 = xml->getStringAttribute("backupMd5");
    r.imageMd5 = xml->getStringAttribute("imageMd5");
    r.time = xml->getStringAttribute("time");
    if (r.backupMd5.length() != 32 || r.backupLength <= 0)
        return std::nullopt;
    return r;
}

namespace backuprecord
{
juce::File recordFileOf(const juce::File& backup)
{
    return backup.getSiblingFile(kFileName);
}

bool write(const juce::File& file, const BackupRecord& record, juce::String& problem,
           platform::Services& services)
{
    auto out = platform::WorkingFileOutput::create(file.getFullPathName(), problem);
    if (out == nullptr)
        return false;
    const auto text = record.toXmlText();
    bool ok = out->writeText(text, false, false, nullptr) && out->getStatus().wasOk();
    out.reset();
    return ok && services.syncToDisk(file);
}

std::optional<BackupRecord> read(const juce::File& file, juce::String& problem)
{
    problem.clear();
    if (platform::inspectFile(file.getFullPathName(), false) == platform::FileKind::missing)
        return std::nullopt;
    auto in = platform::RegularFileInput::open(file.getFullPathName(), false, problem);
    if (in == nullptr)
    {
        if (problem.isEmpty())
            problem = platform::refusal(file.getFullPathName(), "it cannot be read");
        return std::nullopt;
    }
    if (in->getTotalLength() > kMaxRecordBytes)
    {
        problem = platform::refusal(file.getFullPathName(), "too large for a backup record");
        return std::nullopt;
    }
    auto record = BackupRecord::fromXmlText(in->readEntireStreamAsString());
    if (!record)
        problem = platform::refusal(file.getFullPathName(), "not a backup record");
    return record;
}

juce::String md5OfFile(const juce::File& file, juce::int64* length)
{
    juce::String problem;
    auto in = platform::RegularFileInput::open(file.getFullPathName(), false, problem);
    if (in == nullptr)
        return {};
    if (length != nullptr)
        *length = in->getTotalLength();
    return juce::MD5(*in).toHexString();
}

bool regionFits(const juce::uint8* region, const juce::uint8* backup, juce::int64 length,
                const juce::uint8* interim, juce::int64 interimLength, int blockBytes, int* firstForeignBlock)
{
    auto formOf =
        [](const juce::uint8* b, const juce::uint8* x, juce::int64 from, juce::int64 to, juce::int64 xLength)
    {
        for (auto i = from; i < to; ++i)
        {
            const juce::uint8 want = i < xLength ? x[i] : 0xFF;
            if ((b[i] & want) != want)
                return false;
        }
        return true;
    };
    for (juce::int64 at = 0, block = 0; at < length; at += blockBytes, ++block)
    {
        const auto end = juce::jmin(length, at + blockBytes);
        if (formOf(region, backup, at, end, length) || formOf(region, interim, at, end, interimLength))
            continue;
        if (firstForeignBlock != nullptr)
            *firstForeignBlock = (int)block;
        return false;
    }
    return true;
}
} // namespace backuprecord
