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
    StreamedImage seen;
    juce::String md5;
    r.result = checkUpdateImageStreamed(
        path, deviceProduct, nullptr, facts,
        [&md5](juce::InputStream& in) { md5 = juce::MD5(in).toHexString(); }, seen);
    r.status = updateFileStatusText(r.result);
    r.version = facts.version.value_or(juce::String());
    r.product = facts.productName.value_or(juce::String());
    if (seen.whole && seen.length > 0)
    {
        r.md5 = md5;
        const auto* head = static_cast<const juce::uint8*>(seen.head.getData());
        const auto headSize = (juce::int64)seen.head.getSize();
        r.firstByte = head[0];
        for (int i = 0; i < 2; ++i)
            r.signature[i] = image::kSignatureOffset + i < headSize ? head[image::kSignatureOffset + i] : 0;
    }
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
