#include "virtual-piano/UsbGadget.h"

#if JUCE_LINUX || JUCE_BSD
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vp
{
namespace
{
// The Linux Foundation's multifunction composite gadget, as gadgets for tests use.
const char* const kVendor = "0x1d6b";
const char* const kProductId = "0x0104";
const char* const kFunction = "functions/midi.piano";
const char* const kConfig = "configs/c.1";
constexpr int kMaxCardId = 15;

// Letters and digits of `text`, in order.
juce::String alphanumeric(const juce::String& text)
{
    juce::String out;
    for (auto c : text)
        if (juce::CharacterFunctions::isLetterOrDigit(c) && c < 128)
            out << juce::String::charToString(c);
    return out;
}
} // namespace

juce::String UsbGadget::folderNameFor(const juce::String& product)
{
    juce::String out;
    for (auto c : product.toLowerCase())
    {
        if (juce::CharacterFunctions::isLetterOrDigit(c) && c < 128)
            out << juce::String::charToString(c);
        else if (out.isNotEmpty() && !out.endsWith("-"))
            out << "-";
    }
    out = out.trimCharactersAtEnd("-");
    return "virtual-piano-" + (out.isEmpty() ? juce::String("gadget") : out.substring(0, 40));
}

juce::String UsbGadget::cardIdFor(const juce::String& product)
{
    return ("VP" + alphanumeric(product)).substring(0, kMaxCardId);
}

UsbGadget::UsbGadget(Options o) : options(std::move(o)) {}

UsbGadget::~UsbGadget()
{
    remove();
}

#if JUCE_LINUX || JUCE_BSD
namespace
{
// configfs and sysfs take a value in one write, to an existing attribute.
bool writeAttribute(const juce::File& file, const juce::String& text, juce::String& error)
{
    const int fd = ::open(file.getFullPathName().toRawUTF8(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
    {
        error = juce::String(std::strerror(errno));
        return false;
    }
    const auto utf8 = text.toStdString() + "\n";
    const auto n = ::write(fd, utf8.data(), utf8.size());
    const int saved = errno;
    ::close(fd);
    if (n != (ssize_t)utf8.size())
    {
        error = juce::String(std::strerror(n < 0 ? saved : EIO));
        return false;
    }
    return true;
}

juce::String readAttribute(const juce::File& file)
{
    return file.existsAsFile() ? file.loadFileAsString().trim() : juce::String();
}

bool makeFolder(const juce::File& folder)
{
    return ::mkdir(folder.getFullPathName().toRawUTF8(), 0755) == 0 || errno == EEXIST;
}

void removeFolder(const juce::File& folder)
{
    ::rmdir(folder.getFullPathName().toRawUTF8());
}

juce::Array<juce::File> children(const juce::File& folder)
{
    // Links too, without following them: a function linked into a
    // configuration is a link.
    return folder.findChildFiles(juce::File::findFilesAndDirectories | juce::File::ignoreHiddenFiles, false);
}

// A gadget's folders go in the reverse order of their making; configfs
// removes their attributes with them.
void removeGadgetFolder(const juce::File& gadget)
{
    juce::String ignored;
    const auto udc = gadget.getChildFile("UDC");
    if (readAttribute(udc).isNotEmpty())
        writeAttribute(udc, "", ignored);
    for (const auto& config : children(gadget.getChildFile("configs")))
    {
        for (const auto& entry : children(config))
            if (entry.isSymbolicLink())
                ::unlink(entry.getFullPathName().toRawUTF8());
        for (const auto& language : children(config.getChildFile("strings")))
            removeFolder(language);
        removeFolder(config);
    }
    for (const auto& function : children(gadget.getChildFile("functions")))
        removeFolder(function);
    for (const auto& language : children(gadget.getChildFile("strings")))
        removeFolder(language);
    removeFolder(gadget);
}

// The number of the card whose id is `id`; -1 when there is none.
int cardWithId(const juce::File& sound, const juce::String& id)
{
    for (const auto& entry : children(sound))
    {
        const auto name = entry.getFileName();
        if (name.startsWith("card") && name.substring(4).containsOnly("0123456789") && name.length() > 4 &&
            readAttribute(entry.getChildFile("id")) == id)
            return name.substring(4).getIntValue();
    }
    return -1;
}
} // namespace

bool UsbGadget::write(const juce::File& file, const juce::String& text, juce::String& problem)
{
    juce::String error;
    if (writeAttribute(file, text, error))
        return true;
    problem = "cannot write " + file.getFullPathName() + ": " + error;
    return false;
}

bool UsbGadget::create(juce::String& problem)
{
    if (!options.configRoot.isDirectory())
    {
        problem = "no USB gadget configuration in " + options.configRoot.getFullPathName() +
                  " (as root: modprobe libcomposite usb_f_midi; mount -t configfs none /sys/kernel/config)";
        return false;
    }
    controller = options.controller;
    if (controller.isEmpty())
        for (const auto& entry : children(options.controllers))
        {
            controller = entry.getFileName();
            break;
        }
    if (controller.isEmpty() || !options.controllers.getChildFile(controller).exists())
    {
        problem = "no USB device controller" +
                  (controller.isEmpty() ? juce::String() : " \"" + controller + "\"") + " in " +
                  options.controllers.getFullPathName() +
                  " (a board with a USB device or OTG port; for a test, the dummy_hcd module)";
        return false;
    }
    gadgetFolder = options.configRoot.getChildFile(folderNameFor(options.product));
    if (gadgetFolder.exists())
        removeGadgetFolder(gadgetFolder); // left by a run that was killed
    // A card id that no other card has, so the gadget's card is found by it.
    const auto base = cardIdFor(options.product);
    id = base;
    for (int n = 2; cardWithId(options.sound, id) >= 0 && n < 100; ++n)
        id = base.substring(0, kMaxCardId - juce::String(n).length()) + juce::String(n);

    if (!makeFolder(gadgetFolder))
    {
        problem = "cannot make " + gadgetFolder.getFullPathName() + ": " + juce::String(std::strerror(errno));
        return false;
    }
    made = true;
    const auto strings = gadgetFolder.getChildFile("strings/0x409");
    const auto config = gadgetFolder.getChildFile(kConfig);
    const auto function = gadgetFolder.getChildFile(kFunction);
    const bool ok = write(gadgetFolder.getChildFile("idVendor"), kVendor, problem) &&
                    write(gadgetFolder.getChildFile("idProduct"), kProductId, problem) &&
                    write(gadgetFolder.getChildFile("bcdDevice"), "0x0100", problem) &&
                    write(gadgetFolder.getChildFile("bcdUSB"), "0x0200", problem) && makeFolder(strings) &&
                    write(strings.getChildFile("manufacturer"), options.manufacturer, problem) &&
                    write(strings.getChildFile("product"), options.product, problem) &&
                    write(strings.getChildFile("serialnumber"), "0001", problem) && makeFolder(config) &&
                    makeFolder(config.getChildFile("strings/0x409")) &&
                    write(config.getChildFile("strings/0x409/configuration"), "MIDI", problem) &&
                    write(config.getChildFile("MaxPower"), "100", problem) && makeFolder(function);
    if (!ok)
    {
        if (problem.isEmpty())
            problem = "cannot make the gadget's folders in " + gadgetFolder.getFullPathName() + ": " +
                      juce::String(std::strerror(errno)) + " (is usb_f_midi there?)";
        remove();
        return false;
    }
    if (!write(function.getChildFile("id"), id, problem) ||
        !write(function.getChildFile("in_ports"), "1", problem) ||
        !write(function.getChildFile("out_ports"), "1", problem))
    {
        remove();
        return false;
    }
    if (::symlink(function.getFullPathName().toRawUTF8(),
                  config.getChildFile("midi.piano").getFullPathName().toRawUTF8()) != 0)
    {
        problem =
            "cannot link the MIDI function into the configuration: " + juce::String(std::strerror(errno));
        remove();
        return false;
    }
    if (!write(gadgetFolder.getChildFile("UDC"), controller, problem))
    {
        problem << " (is another gadget bound to " << controller << "?)";
        remove();
        return false;
    }
    return true;
}

void UsbGadget::remove()
{
    if (!made)
        return;
    made = false;
    removeGadgetFolder(gadgetFolder);
}

void UsbGadget::unbindSequencerClient(int card)
{
    const auto name = "seq-midi-" + juce::String(card) + "-0";
    const auto device = options.sequencerDevices.getChildFile(name);
    const auto driver = device.getChildFile("driver");
    if (!driver.exists())
        return;
    juce::String ignored;
    writeAttribute(driver.getChildFile("unbind"), name, ignored);
}

juce::String UsbGadget::rawDevice()
{
    const int card = cardWithId(options.sound, id);
    if (card < 0)
        return {};
    // The sequencer's client of the card may be bound after the card shows:
    // it is looked for on every call.
    unbindSequencerClient(card);
    if (!options.sound.getChildFile("midiC" + juce::String(card) + "D0").exists())
        return {};
    return "hw:" + juce::String(card) + ",0,0";
}
#else
bool UsbGadget::write(const juce::File&, const juce::String&, juce::String&)
{
    return false;
}

bool UsbGadget::create(juce::String& problem)
{
    problem = "USB gadgets are made on Linux only";
    return false;
}

void UsbGadget::remove() {}
void UsbGadget::unbindSequencerClient(int) {}

juce::String UsbGadget::rawDevice()
{
    return {};
}
#endif
} // namespace vp
