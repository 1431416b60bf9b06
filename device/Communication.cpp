#include "device/Communication.h"
#include "device/FlashRange.h"
#include "platform/Clock.h"
#include "platform/WorkFolder.h"

Communication::Communication(CLogOutput* logSink, juce::MessageListener* receiver, midi::PortSet& portSet,
                             TickPeriods tickPeriods, platform::Services* machine)
    : log(logSink), listener(receiver),
      services(machine != nullptr ? *machine : platform::Services::system()), ports(portSet),
      periods(tickPeriods), engine(*this, {tickPeriods.transferMs, tickPeriods.readMs, tickPeriods.settleMs}),
      pairing(portSet, *this, lock, *this, tickPeriods.quietScanMs)
{
    pairing.setScanPeriod(tickPeriods.scanMs);
    prepareForPostsFromAnyThread(listener);
}

Communication::~Communication()
{
    disarmTimer();
    pairing.closeUnpairedPorts();
    const std::lock_guard<std::mutex> g(lock);
    outputFile.reset();
}

// ---- ticks ---------------------------------------------------------------------

void Communication::armTimer(int periodMs)
{
    tickPeriod = periodMs;
    if (!periods.manualTicks)
        startTimer(periodMs);
}

void Communication::disarmTimer()
{
    tickPeriod = 0;
    stopTimer();
}

void Communication::setTickPeriod(int periodMs)
{
    if (periodMs > 0)
        armTimer(periodMs);
    else
        disarmTimer();
}

juce::uint32 Communication::now()
{
    return services.tickCount();
}

void Communication::timerCallback()
{
    {
        const std::lock_guard<std::mutex> g(lock);
        if (!pairing.scanArmed())
        {
            if (tickPeriod.load() != 0) // else a tick already on its way when the timer stopped
                engine.onTick();
            return;
        }
    }
    pairing.onScanTick();
}

// ---- scanning --------------------------------------------------------------------

void Communication::restartScan(bool quiet)
{
    pairing.restartScan(quiet);
}

void Communication::scanPorts()
{
    pairing.scanPorts();
}

bool Communication::isFullSpeed() const
{
    const std::lock_guard<std::mutex> g(lock);
    return pairing.fullSpeed();
}

bool Communication::isPaired() const
{
    const std::lock_guard<std::mutex> g(lock);
    return pairing.input() != nullptr && pairing.output() != nullptr;
}

bool Communication::isScanArmed() const
{
    const std::lock_guard<std::mutex> g(lock);
    return pairing.scanArmed();
}

juce::String Communication::pairedOutputName() const
{
    const std::lock_guard<std::mutex> g(lock);
    return pairing.output() != nullptr ? pairing.output()->getName() : juce::String();
}

juce::String Communication::pairedOutputNotice() const
{
    const std::lock_guard<std::mutex> g(lock);
    return pairing.output() != nullptr ? pairing.output()->notice() : juce::String();
}

juce::String Communication::pairedInputName() const
{
    const std::lock_guard<std::mutex> g(lock);
    return pairing.input() != nullptr ? pairing.input()->getName() : juce::String();
}

// The transport's own word that the paired instrument is gone (on its thread).
void Communication::portLost(midi::InputPort* source)
{
    bool paired;
    {
        const std::lock_guard<std::mutex> g(lock);
        paired = source != nullptr && source == pairing.input();
    }
    if (paired)
        postEvent(EvLinkLost{});
}

// ---- replies (MIDI input thread) ---------------------------------------------------

void Communication::handleIncomingMidiMessage(midi::InputPort* source, const juce::uint8* message, int size)
{
    if (auto* t = trace.load())
        t->record(SysexTrace::Direction::fromInstrument, message, size);
    sysex::Incoming in;
    if (!sysex::accept(message, size, in))
        return;
    bool syncRead;
    {
        const std::lock_guard<std::mutex> g(lock);
        switch (in.command)
        {
        case sysex::CmdIdentifyReply:
            pairing.onIdentifyReply(source, in.data, in.length);
            break;
        case sysex::ReplyStatus:
            engine.onStatus(in.data[5]);
            break;
        case sysex::ReplyDataPacket:
            engine.onPacket(in.data, in.length);
            break;
        default:
            break;
        }
        syncRead = std::exchange(readNeedsSync, false);
    }
    if (syncRead)
        finishReadOutsideLock();
}

// A read is done only once its data is on disk. The sync may take long on a
// slow disk, so it happens outside the lock; the read's step ends after it.
void Communication::finishReadOutsideLock()
{
    juce::File file;
    bool written;
    {
        const std::lock_guard<std::mutex> g(lock);
        file = outputPath;
        written = readWritten;
    }
    const bool durable = written && services.syncToDisk(file);
    const std::lock_guard<std::mutex> g(lock);
    if (durable)
    {
        syncedReadFile = file;
        syncedReadSize = readTotal;
    }
    engine.finishRead(durable);
}

// ---- what the transfer engine sends out (lock held) --------------------------------

void Communication::sendFrame(const juce::uint8* frame, int size)
{
    if (auto* out = pairing.output())
    {
        sending(frame, size);
        out->sendMessageNow(frame, size);
    }
}

void Communication::sending(const juce::uint8* data, int size)
{
    if (auto* t = trace.load())
        t->record(SysexTrace::Direction::toInstrument, data, size);
}

void Communication::postProgress(ProgressKind kind, int value, int total)
{
    if (listener == nullptr)
        return;
    const bool update = kind != ProgressKind::ended && kind != ProgressKind::share;
    if (update && progressInFlight->load() >= kMaxProgressInFlight)
        return;
    auto* message = new CCustomMessage(EvProgress{kind, value, total});
    message->countIn(progressInFlight);
    listener->postMessage(message);
}

void Communication::postShare(float start, float end)
{
    postProgress(ProgressKind::share, (int)(start * 10), (int)(end * 10));
}

void Communication::logText(const char* text)
{
    if (log != nullptr)
        log->PrintA("%s", text);
}

void Communication::logHighlighted(juce::uint32 argb, const char* text)
{
    if (log != nullptr)
        log->PrintHighlighted(argb, text);
}

void Communication::logProblem(const juce::String& problem)
{
    if (log != nullptr && problem.isNotEmpty())
        log->PrintA("%s\n", problem.toRawUTF8());
}

bool Communication::storeReadData(const juce::uint8* data, int size)
{
    return outputFile != nullptr && outputFile->write(data, (size_t)size);
}

void Communication::readDataComplete()
{
    readWritten =
        outputFile != nullptr && outputFile->getStatus().wasOk() && outputFile->getSize() == readTotal;
    outputFile.reset();
    readNeedsSync = true;
}

void Communication::readAbandoned()
{
    outputFile.reset();
}

// ---- state -----------------------------------------------------------------------

int Communication::getState() const
{
    const std::lock_guard<std::mutex> g(lock);
    return engine.stateNumber();
}

std::vector<SectorInfo> Communication::getSectorTable() const
{
    const std::lock_guard<std::mutex> g(lock);
    return sectorTable;
}

bool Communication::hasSectorTable() const
{
    const std::lock_guard<std::mutex> g(lock);
    return !sectorTable.empty();
}

int Communication::currentJobSerial() const
{
    const std::lock_guard<std::mutex> g(lock);
    return engine.jobSerial();
}

int Communication::unexpectedReplyCount() const
{
    const std::lock_guard<std::mutex> g(lock);
    return engine.unexpectedReplies();
}
