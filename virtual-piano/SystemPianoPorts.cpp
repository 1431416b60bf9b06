#include "virtual-piano/SystemPianoPorts.h"

namespace vp
{
SystemPianoPorts::SystemPianoPorts(ThreadedPiano& p, const juce::String& name) : piano(p), portName(name) {}

SystemPianoPorts::~SystemPianoPorts()
{
    // Waits for a reply being sent, and sends no more.
    piano.setDelivery({});
    if (input != nullptr)
        input->stop();
    input.reset();
    output.reset();
}

bool SystemPianoPorts::start()
{
#if JUCE_WINDOWS
    // The multimedia MIDI of Windows has no ports that a program makes.
    return false;
#else
    output = juce::MidiOutput::createNewDevice(portName);
    if (output == nullptr)
        return false;
    // Replies leave on the piano's thread, each as one message.
    piano.setDelivery([this](const juce::uint8* data, int size)
                      { output->sendMessageNow(juce::MidiMessage(data, size)); });
    input = juce::MidiInput::createNewDevice(portName, this);
    if (input == nullptr)
        return false;
    input->start();
    return true;
#endif
}

// The system's MIDI thread: the message joins the instrument's queue.
void SystemPianoPorts::handleIncomingMidiMessage(juce::MidiInput*, const juce::MidiMessage& message)
{
    if (message.isSysEx())
        piano.post(message.getRawData(), message.getRawDataSize());
}
} // namespace vp
