// image-tool: makes update images and shows what the image checks see in one.
//
//   image-tool make OUT [--version TEXT] [--product NAME] [--size BYTES]
//                       [--fill counter|random:SEED|byte:XX]
//                       [--no-signature] [--no-version] [--no-product]
//   image-tool info FILE [--device-product NAME]
#include "update/ImageBuilder.h"
#include "update/ImageReport.h"
#include "update/UpdateImage.h"
#include <iostream>

namespace
{
const char* const usageText = "usage:\n"
                              "  image-tool make OUT [--version TEXT] [--product NAME] [--size BYTES]\n"
                              "                      [--fill counter|random:SEED|byte:XX]\n"
                              "                      [--no-signature] [--no-version] [--no-product]\n"
                              "  image-tool info FILE [--device-product NAME]\n"
                              "     exits with the image check's result (0: acceptable)\n"
                              "  image-tool --help\n";

int usage()
{
    std::cerr << usageText;
    return 2;
}

juce::int64 parseSize(const juce::String& text)
{
    auto t = text.trim();
    juce::int64 scale = 1;
    if (t.endsWithIgnoreCase("k"))
        scale = 1024, t = t.dropLastCharacters(1);
    else if (t.endsWithIgnoreCase("m"))
        scale = 1024 * 1024, t = t.dropLastCharacters(1);
    const juce::int64 v =
        t.startsWithIgnoreCase("0x") ? t.substring(2).getHexValue64() : t.getLargeIntValue();
    return v * scale;
}

// A file name that looks like an option is a wrong command line, not a file
// to write (or read) by that name.
bool namesAFile(const juce::StringArray& args)
{
    return args.size() >= 2 && args[1].isNotEmpty() && !args[1].startsWith("-");
}

int make(const juce::StringArray& args)
{
    if (!namesAFile(args))
        return usage();
    image::ImageSpec rom;
    const juce::File out = juce::File::getCurrentWorkingDirectory().getChildFile(args[1]);
    for (int i = 2; i < args.size(); ++i)
    {
        const auto& a = args[i];
        auto next = [&]() -> juce::String { return i + 1 < args.size() ? args[++i] : juce::String(); };
        if (a == "--version")
            rom.version = next();
        else if (a == "--product")
            rom.productName = next();
        else if (a == "--size")
            rom.size = (int)parseSize(next());
        else if (a == "--fill")
            rom.fill = next();
        else if (a == "--no-signature")
            rom.withSignature = false;
        else if (a == "--no-version")
            rom.withVersionMarker = false;
        else if (a == "--no-product")
            rom.withProductName = false;
        else
            return usage();
    }
    if (rom.size <= 0 || rom.size > 256 * 1024 * 1024)
    {
        std::cerr << "image-tool: size out of range\n";
        return 2;
    }
    juce::uint8 probe;
    if (!image::fillPattern(rom.fill, &probe, 1))
    {
        std::cerr << "image-tool: unknown fill pattern " << rom.fill << "\n";
        return 2;
    }
    const auto data = image::buildUpdateImage(rom);
    if (!out.replaceWithData(data.getData(), data.getSize()))
    {
        std::cerr << "image-tool: cannot write " << out.getFullPathName() << "\n";
        return 1;
    }
    std::cout << "wrote " << out.getFullPathName() << " (" << data.getSize() << " bytes)\n";
    return 0;
}

int info(const juce::StringArray& args)
{
    if (!namesAFile(args))
        return usage();
    const juce::File file = juce::File::getCurrentWorkingDirectory().getChildFile(args[1]);
    juce::String deviceProduct;
    for (int i = 2; i < args.size(); ++i)
    {
        if (args[i] == "--device-product" && i + 1 < args.size())
            deviceProduct = args[++i];
        else
            return usage();
    }
    const auto report = describeImage(file.getFullPathName(), deviceProduct);
    std::cout << formatImageReport(report);
    // The first byte and the signature, as the check saw them.
    if (report.md5.isNotEmpty())
        std::cout << "first:    0x" << juce::String::toHexString(report.firstByte).paddedLeft('0', 2) << "\n"
                  << "signature: "
                  << ((report.signature[0] == image::kSignature1 && report.signature[1] == image::kSignature2)
                          ? "BD"
                          : "bad")
                  << "\n";
    return report.result;
}
} // namespace

int main(int argc, char* argv[])
{
    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add(argv[i]);
    if (args.isEmpty())
        return usage();
    if (args[0] == "--help" || args[0] == "-h")
    {
        std::cout << usageText;
        return 0;
    }
    if (args[0] == "make")
        return make(args);
    if (args[0] == "info")
        return info(args);
    return usage();
}
