// The incoming-message path of the device link, driven by sequences: the
// input is a small program that interleaves messages from the instrument with
// job starts, timer ticks, scans and the real instrument's own answers, so
// replies arrive in every state and in any number.
//
// Program bytes: 0xF0 starts a message that runs to the next 0xF7 (or the
// end) and is handed to the link as the input thread would; any other byte
// picks a step by its value modulo 8 (see `step`).
//
// Besides memory errors it checks what the link promises: each job ends at
// most once, only jobs that were started end, and replies never make the link
// post more than a bounded number of messages.
#include "device/Communication.h"
#include "device/FlashLayout.h"
#include "platform/WorkingFiles.h"
#include "virtual-piano/VirtualMidiSource.h"
#include <cstdlib>
#include <map>

namespace
{
// An input port that only serves as the source of identify replies.
struct SilentInput : midi::InputPort
{
    juce::String getName() const override { return "fuzz"; }
    void start() override {}
    void stop() override {}
};

// Checks the events the link posts.
struct Watcher : juce::MessageListener
{
    void handleMessage(const juce::Message& message) override
    {
        auto* event = eventOf(message);
        if (event == nullptr)
            return;
        ++received;
        if (auto* done = std::get_if<EvStepDone>(event))
        {
            // A job ends once, and only a job that was started ends.
            if (done->serial <= 0 || done->serial > link->currentJobSerial() || ++ends[done->serial] > 1)
                std::abort();
        }
    }
    Communication* link = nullptr;
    std::map<int, int> ends;
    long received = 0;
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
        link = std::make_unique<Communication>(nullptr, &watcher, ports, periods);
        watcher.link = link.get();
        folder = juce::File::createTempFile("fuzz");
        folder.createDirectory();
        pair();
        buffer.assign(0x3000, 0x5A);
    }
    ~Rig()
    {
        link.reset();
        folder.deleteRecursively();
    }

    void pair()
    {
        link->restartScan();
        for (int i = 0; i < 3; ++i)
        {
            piano->pump();
            link->timerCallback();
        }
        const auto d = deviceimages::builtInDrivers()[2];
        link->sendFlashDriver(d.image, d.length, d.flashName, 0, 100);
        piano->pump();
    }

    void step(juce::uint8 command)
    {
        const auto file = [&](const char* name) { return folder.getChildFile(name).getFullPathName(); };
        switch (command % 8)
        {
        case 0:
            link->readToFile(file(platform::fileName(platform::kBackupFile)), 0, region::data.start, 0x3000,
                             0, 100);
            break;
        case 1:
            link->programBuffer(buffer.data(), 0, region::data.start, (juce::int64)buffer.size(), 0, 100);
            break;
        case 2:
            link->restartScan();
            scanned = true;
            break;
        case 3:
            link->timerCallback();
            break;
        case 4:
            piano->pump(1 + command / 8); // the instrument answers a few messages
            break;
        case 5:
            link->writeLockFile(file(platform::fileName(platform::kUpdateLockFile)),
                                command & 8 ? LockMode::remove : LockMode::create);
            break;
        case 6:
            link->eraseForBuffer(region::data.start, region::data.length, 0, 100);
            break;
        default:
            link->testFlash(0, "fuzz");
            break;
        }
    }

    void settle()
    {
        // Let the piano answer, then end whatever is still running.
        piano->pump(64);
        for (int i = 0; i < 40 && link->getState() != Communication::Idle; ++i)
            link->timerCallback();
        // The posted events are checked in batches: dispatching costs a millisecond.
        if (++inputs % 256 == 0)
            juce::MessageManager::getInstance()->runDispatchLoopUntil(1);
    }

    Watcher watcher;
    midi::PortSet ports;
    midi::VirtualSource* piano = nullptr;
    std::unique_ptr<Communication> link;
    juce::File folder;
    std::vector<juce::uint8> buffer;
    SilentInput fuzzInput;
    bool scanned = false;
    long inputs = 0;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Rig rig;
    auto& link = *rig.link;
    const long before = rig.watcher.received;
    rig.scanned = false;
    std::vector<juce::uint8> message;
    for (size_t i = 0; i < size; ++i)
    {
        if (data[i] != 0xF0)
        {
            rig.step(data[i]);
            continue;
        }
        message.clear();
        while (i < size)
        {
            message.push_back(data[i]);
            if (data[i++] == 0xF7)
                break;
        }
        --i;
        // Identify replies pair only with a real input; the fuzz input stands in.
        link.handleIncomingMidiMessage(link.isScanArmed() ? &rig.fuzzInput : nullptr, message.data(),
                                       (int)message.size());
    }
    rig.settle();
    // Whatever arrived, the link posted a bounded number of events: at most a
    // few per step or message, never one per byte of a flood.
    if (rig.watcher.received - before > 256 * (64 + 64 * (long)size))
        std::abort();
    if (rig.scanned || link.isScanArmed())
        rig.pair(); // back to the real instrument for the next input
    return 0;
}
