#include "EngineFixture.h"
#include "device/DriverImages.h"

namespace testing_support
{
juce::MemoryBlock patternBlock(size_t size, juce::uint32 seed)
{
    juce::MemoryBlock block(size);
    juce::Random r((juce::int64)seed);
    auto* p = static_cast<juce::uint8*>(block.getData());
    for (size_t i = 0; i < size; ++i)
        p[i] = (juce::uint8)r.nextInt(256);
    return block;
}

void EngineFixture::TearDown()
{
    queue.reset();
    device.reset();
    if (folder.exists())
        folder.deleteRecursively();
}

void EngineFixture::connectTo(std::unique_ptr<midi::Source> source, bool isManual,
                              Communication::TickPeriods periods)
{
    manual = isManual;
    folder = makeTempFolder("tamarind-engine");
    ports.addSource(std::move(source));
    logSink.AttachEditor(&recorder);
    device = std::make_unique<Communication>(&logSink, &recorder, ports, periods);
    queue = std::make_unique<OperationQueue>(*device);
    link().restartScan();
    if (manual)
    {
        for (int i = 0; i < 3; ++i)
        {
            if (piano != nullptr)
                piano->pump();
            link().timerCallback();
        }
    }
    ASSERT_TRUE(pumpUntil([&] { return recorder.count<EvDeviceFound>() == 1; })) << "instrument not paired";
    pump(1);
    recorder.clear();
}

void EngineFixture::connect(const juce::String& pianoConfig)
{
    auto source = std::make_unique<midi::VirtualSource>(vp::PianoConfig::parse(pianoConfig), 0, true);
    piano = source.get();
    Communication::TickPeriods periods;
    periods.manualTicks = true;
    connectTo(std::move(source), true, periods);
}

void EngineFixture::connectThreaded(const juce::String& pianoConfig, int transferMs, int readMs)
{
    auto source = std::make_unique<midi::VirtualSource>(vp::PianoConfig::parse(pianoConfig), 0, false);
    piano = source.get();
    Communication::TickPeriods periods;
    periods.scanMs = 20;
    periods.transferMs = transferMs;
    periods.readMs = readMs;
    connectTo(std::move(source), false, periods);
}

EngineFixture::Outcome EngineFixture::runQueue(int silentTicks, int timeoutMs)
{
    Outcome outcome;
    recorder.onEvent = [&](const Event& e)
    {
        auto* done = std::get_if<EvStepDone>(&e);
        if (done == nullptr || outcome.ended || !queue->acceptStepDone(done->serial))
            return;
        if (done->failure)
        {
            outcome = {true, false, *done->failure};
            queue->clearQueue();
        }
        else if (queue->runNext())
            outcome = {true, true};
    };
    if (queue->runNext())
        outcome = {true, true};

    const auto end = juce::Time::getMillisecondCounter() + (juce::uint32)timeoutMs;
    size_t seen = recorder.events.size();
    while (!outcome.ended && juce::Time::getMillisecondCounter() < end)
    {
        const int answered = manual && piano != nullptr ? piano->pump(100000) : 0;
        pump(manual ? 1 : 2);
        const bool progressed = answered > 0 || recorder.events.size() != seen;
        seen = recorder.events.size();
        if (manual && !progressed)
        {
            if (silentTicks-- <= 0)
                break;
            link().timerCallback();
        }
    }
    recorder.onEvent = nullptr;
    pump(1);
    return outcome;
}

juce::String EngineFixture::identify()
{
    queue->clearQueue();
    for (auto& d : deviceimages::builtInDrivers())
    {
        queue->add(jobs::SendDriver{d.image, d.length, d.flashName, 0, 100});
        queue->add(jobs::TestFlash{d.mcuName, d.flashName, d.image, d.length});
    }
    juce::String found;
    bool done = false;
    recorder.onEvent = [&](const Event& e)
    {
        auto* ended = std::get_if<EvStepDone>(&e);
        if (ended == nullptr || done || !queue->acceptStepDone(ended->serial))
            return;
        const bool isTest = queue->currentIs<jobs::TestFlash>();
        if (!ended->failure && isTest)
        {
            found = std::get<jobs::TestFlash>(*queue->current()).flashName;
            done = true;
        }
        else if (!ended->failure)
            queue->runNext();
        else if (isTest && queue->nextIsDriverUpload())
            queue->runNext();
        else
            done = true;
    };
    queue->runNext();
    for (int i = 0; i < 2000 && !done; ++i)
    {
        const int answered = manual ? piano->pump() : 0;
        pump(1);
        // The careful flash test waits for quiet ticks around its requests.
        if (manual && answered == 0)
            link().timerCallback();
    }
    recorder.onEvent = nullptr;
    queue->clearQueue();
    return found;
}

void EngineFixture::uploadDriverFor(const juce::String& flashName)
{
    for (auto& d : deviceimages::builtInDrivers())
        if (flashName == d.flashName)
        {
            queue->clearQueue();
            queue->add(jobs::SendDriver{d.image, d.length, d.flashName, 0, 100});
            ASSERT_TRUE(runQueue().ok);
            queue->clearQueue();
            recorder.clear();
            return;
        }
    FAIL() << "no driver for " << flashName;
}

juce::File EngineFixture::writeFile(const juce::String& name, const juce::MemoryBlock& data)
{
    auto f = file(name);
    f.replaceWithData(data.getData(), data.getSize());
    return f;
}

int EngineFixture::jobsEndedWell() const
{
    return recorder.count<EvStepDone>([](const EvStepDone& e) { return !e.failure; });
}

int EngineFixture::jobsFailed() const
{
    return recorder.count<EvStepDone>([](const EvStepDone& e) { return e.failure.has_value(); });
}

int EngineFixture::progressEvents(ProgressKind kind, int value) const
{
    return recorder.count<EvProgress>([&](const EvProgress& e)
                                      { return e.kind == kind && (value < 0 || e.value == value); });
}

} // namespace testing_support
