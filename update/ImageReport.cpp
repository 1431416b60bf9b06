#include "update/ImageReport.h"
#include "platform/SafeFile.h"
#include "update/UpdateImage.h"
#include <juce_cryptography/juce_cryptography.h>

ImageReport describeImage(const juce::String& path, const juce::String& deviceProduct)
{
    ImageReport r;
    r.path = path;
    juce::int64 size = -1;
    const auto kind = platform::inspectFile(path, true, &size);
    if (kind != platform::FileKind::regular && kind != platform::FileKind::missing)
        r.refusal = platform::describeKind(kind);
    if (kind == platform::FileKind::regular)
        r.size = size;
    UpdateFileFacts facts;
    r.result = checkUpdateImage(path, deviceProduct, nullptr, facts);
    r.status = updateFileStatusText(r.result);
    r.version = facts.version.value_or(juce::String());
    r.product = facts.productName.value_or(juce::String());
    if (facts.bytes.getSize() > 0)
        r.md5 = juce::MD5(facts.bytes).toHexString();
    return r;
}

juce::String formatImageReport(const ImageReport& r)
{
    juce::String text;
    text << "file:     " << r.path << "\n";
    if (r.refusal.isNotEmpty())
        text << "refused:  " << r.refusal << "\n";
    text << "size:     " << (r.size >= 0 ? juce::String(r.size) : juce::String("-")) << "\n"
         << "version:  " << r.version << "\n"
         << "product:  " << r.product << "\n"
         << "md5:      " << r.md5 << "\n"
         << "result:   " << r.result << " (" << r.status << ")\n";
    return text;
}
