#pragma once
#include <juce_core/juce_core.h>

namespace vp
{
// A USB-MIDI device made of this machine's USB device controller (Linux,
// through the kernel's gadget configuration in configfs, with libcomposite
// and usb_f_midi): a computer it is plugged into sees a USB-MIDI instrument
// whose product name is `product`, and its class driver names the port
// "PRODUCT MIDI 1". On this side the gadget's MIDI function is a sound card
// with one raw MIDI device, which the emulated instrument serves; the
// sequencer's client of that card is unbound, so programs here do not see a
// second piano. Deleting the object removes the gadget (the cable is pulled).
class UsbGadget final
{
public:
    struct Options
    {
        juce::String product = "Virtual Piano";
        juce::String manufacturer = "Tessaro";
        juce::String controller;                                 // empty: the first one listed
        juce::File configRoot{"/sys/kernel/config/usb_gadget"};  // where gadgets are made
        juce::File controllers{"/sys/class/udc"};                // the device controllers
        juce::File sound{"/sys/class/sound"};                    // cards, by their id
        juce::File sequencerDevices{"/sys/bus/snd_seq/devices"}; // the sequencer's card clients
    };

    explicit UsbGadget(Options options);
    ~UsbGadget();

    // Makes the gadget and binds it to the device controller; false, with
    // why, when that cannot be done (no configfs, no controller, not root).
    // A gadget of the same name left by a killed run is removed first.
    bool create(juce::String& problem);
    void remove();

    // The raw MIDI device of the gadget's card, "hw:ID,0,0", once the card is
    // there (it goes while the gadget is unbound from its controller, and comes
    // back with a new number); empty while it is not. Unbinds the sequencer's
    // client of the card each time the card is new.
    juce::String rawDevice();

    juce::File folder() const { return gadgetFolder; }
    juce::String controllerName() const { return controller; }
    juce::String cardId() const { return id; }

    // The folder name of a gadget for `product`: lower-case letters, digits
    // and dashes; the card id: letters and digits, at most 15 characters.
    static juce::String folderNameFor(const juce::String& product);
    static juce::String cardIdFor(const juce::String& product);

private:
    bool write(const juce::File& file, const juce::String& text, juce::String& problem);
    void unbindSequencerClient(int card);

    Options options;
    juce::File gadgetFolder;
    juce::String controller, id;
    bool made = false;
};
} // namespace vp
