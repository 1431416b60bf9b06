// The incoming-message path of the device link: acceptance, identify replies
// during a scan, status replies while programming, and data packets unpacked
// into the block buffer while reading. The first byte chooses the situation;
// the rest is split into messages at each 0xF7 and handed to the link as the
// input thread would.
#include "device/OperationQueue.h"
#include "midi/VirtualMidiSource.h"

namespace
{
// An input port that only serves as the source of identify replies.
struct SilentInput : midi::InputPort
{
    juce::String getName() const override { return "fuzz"; }
    void start() override {}
    void stop() override {}
};

struct Rig
{
    Rig()
    {
        juce::MessageManager::getInstance();
        auto source = std::make_unique<midi::VirtualSource>(vp::PianoConfig::parse(""), 0, true);
        piano = source.get();
        ports.addSource(std::move(source));
        Communication::TickPeriods periods;
        periods.manualTicks = true;
        queue = std::make_unique<OperationQueue>(nullptr, nullptr, ports, periods);
        pair();
        readFile = juce::File::createTempFile(".bin");
        buffer.assign(0x3000, 0x5A);
    }

    void pair()
    {
        queue->link().restartScan();
        for (int i = 0; i < 3; ++i)
        {
            piano->pump();
            queue->link().timerCallback();
        }
        const auto d = deviceimages::builtInDrivers()[2];
        queue->link().sendFlashDriver(d.image, d.length, d.flashName, 0, 100);
        piano->pump();
    }

    void settle()
    {
        // Let the piano answer, then end whatever is still running.
        piano->pump(64);
        for (int i = 0; i < 10 && queue->link().getState() != Communication::Idle; ++i)
            queue->link().timerCallback();
    }

    midi::PortSet ports;
    midi::VirtualSource* piano = nullptr;
    std::unique_ptr<OperationQueue> queue;
    juce::File readFile;
    std::vector<juce::uint8> buffer;
    SilentInput fuzzInput;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Rig rig;
    if (size == 0)
        return 0;
    auto& link = rig.queue->link();
    const int mode = data[0] % 3;
    if (mode == 0)
        link.readToFile(rig.readFile.getFullPathName(), 0, 0, 0x3000, 0, 100);
    else if (mode == 1)
        link.programBuffer(rig.buffer.data(), 0, 0x40000, (juce::int64)rig.buffer.size(), 0, 100);
    else
        link.restartScan();

    std::vector<juce::uint8> message;
    for (size_t i = 1; i < size; ++i)
    {
        message.push_back(data[i]);
        if (data[i] == 0xF7 || i + 1 == size)
        {
            link.handleIncomingMidiMessage(mode == 2 ? &rig.fuzzInput : nullptr, message.data(),
                                           (int)message.size());
            message.clear();
        }
    }
    if (mode == 2)
        rig.pair(); // back to the real instrument for the next input
    else
        rig.settle();
    return 0;
}
