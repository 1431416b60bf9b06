#include "device/Communication.h"
#include "device/FlashRange.h"
#include "platform/Clock.h"
#include "platform/WorkFolder.h"
#include "update/UpdateImage.h"

namespace
{
const juce::String excludedPortPrefix = "Creative Sound Blaster";

// Ports are stopped and deleted outside the link's lock: stopping an input
// waits for a callback in flight, and that callback may be waiting for the lock.
struct PortsToClose
{
    std::vector<std::unique_ptr<midi::InputPort>> inputs;
    std::vector<std::unique_ptr<midi::OutputPort>> outputs;

    ~PortsToClose()
    {
        for (auto& in : inputs)
            if (in != nullptr)
                in->stop();
        inputs.clear();
        outputs.clear();
    }
};
} // namespace

Communication::Communication(CLogOutput* logSink, juce::MessageListener* receiver, midi::PortSet& portSet,
                             TickPeriods tickPeriods)
    : log(logSink), listener(receiver), ports(portSet), periods(tickPeriods)
{
    sequenceStart = phaseStart = platform::getTickCount();
    prepareForPostsFromAnyThread(listener);
}

Communication::~Communication()
{
    disarmTimer();
    closeUnpairedPorts();
    PortsToClose closing;
    {
        const std::lock_guard<std::mutex> g(lock);
        outputFile.reset();
        closing.outputs.push_back(std::move(pairedOutputOwner));
        closing.inputs.push_back(std::move(pairedInputOwner));
        pairedInput = nullptr;
        pairedOutput = nullptr;
    }
}

bool Communication::isExcludedPortName(const juce::String& name)
{
    return name.substring(0, excludedPortPrefix.length()).equalsIgnoreCase(excludedPortPrefix);
}

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

void Communication::restartScan()
{
    scanCount = 0;
    {
        const std::lock_guard<std::mutex> g(lock);
        identifyReplySeen = false;
    }
    scanPorts();
}

void Communication::scanPorts()
{
    {
        const std::lock_guard<std::mutex> g(lock);
        deviceFound = false;
        twoDevicesPosted = false;
        pairedIndex = -1;
    }
    const auto inputNames = ports.inputNames();
    const auto outputNames = ports.outputNames();

    {
        // A scan always drops the current connection (and anything a previous
        // scan left open).
        PortsToClose closing;
        const std::lock_guard<std::mutex> g(lock);
        inputCount = inputNames.size();
        outputCount = outputNames.size();
        closing.outputs.push_back(std::move(pairedOutputOwner));
        closing.inputs.push_back(std::move(pairedInputOwner));
        pairedInput = nullptr;
        pairedOutput = nullptr;
        for (auto& in : inputs)
            closing.inputs.push_back(std::move(in));
        for (auto& out : outputs)
            closing.outputs.push_back(std::move(out));
        inputs.clear();
        outputs.clear();
        outputs.resize((size_t)outputCount);
        scanArmed = false;
    }

    post(EvConnectButton, 0);
    post(EvScanStarted);

    if (scanCount > 0)
    {
        std::vector<std::unique_ptr<midi::InputPort>> opened((size_t)inputCount);
        for (int i = 0; i < inputCount; ++i)
        {
            if (isExcludedPortName(inputNames[i]))
                continue;
            auto first = ports.openInput(i, this);
            if (first == nullptr)
                continue;
            // Opening twice clears a port some drivers leave half-started.
            first->start();
            first->stop();
            first.reset();
            opened[(size_t)i] = ports.openInput(i, this);
        }
        {
            const std::lock_guard<std::mutex> g(lock);
            inputs = std::move(opened);
        }
        for (auto& in : inputs)
            if (in != nullptr)
                in->start();
    }

    bool replySeen;
    {
        const std::lock_guard<std::mutex> g(lock);
        scanArmed = true;
        replySeen = identifyReplySeen;
    }
    juce::uint8 request[16];
    const int requestSize = sysex::buildIdentify(request, 0);

    for (int i = 0; i < outputCount; ++i)
    {
        if (isExcludedPortName(outputNames[i]))
            continue;
        request[6] = (juce::uint8)(i & 0x7F);
        if (replySeen)
        {
            auto out = ports.openOutput(i);
            if (out == nullptr || out->getName().isEmpty())
                continue;
            midi::OutputPort* port = out.get();
            {
                const std::lock_guard<std::mutex> g(lock);
                outputs[(size_t)i] = std::move(out);
            }
            port->sendMessageNow(request, requestSize);
        }
        else
        {
            // No reply seen yet: send straight to the port without keeping it open.
            ports.sendDirect(i, request, requestSize);
        }
    }
    armTimer(periods.scanMs);
}

void Communication::closeUnpairedPorts()
{
    PortsToClose closing;
    const std::lock_guard<std::mutex> g(lock);
    scanArmed = false;
    for (auto& in : inputs)
    {
        if (in != nullptr && in.get() == pairedInput)
            pairedInputOwner = std::move(in);
        else
            closing.inputs.push_back(std::move(in));
    }
    inputs.clear();
    for (auto& out : outputs)
    {
        if (out != nullptr && out.get() == pairedOutput)
            pairedOutputOwner = std::move(out);
        else
            closing.outputs.push_back(std::move(out));
    }
    outputs.clear();
}

void Communication::timerCallback()
{
    {
        const std::lock_guard<std::mutex> g(lock);
        if (!scanArmed)
        {
            if (tickPeriod.load() == 0 || !jobOpen)
                return; // stopped (a tick already on its way), or between jobs
            if (awaiting == Awaiting::quiet)
            {
                if (++quietTicks >= 2)
                    createLockAfterQuiet();
                return;
            }
            if (awaiting == Awaiting::drain && ++quietTicks >= 2)
            {
                // A whole tick without a packet: the broken block's packets are gone.
                requestReadBlock(base + doneLength);
                return;
            }
            // Silence supervision: the ninth tick without a reply is a time-out.
            if (silenceTicks < 50)
                ++silenceTicks;
            if (silenceTicks > kSilentTicksForTimeout - 1)
                finishStep(3);
            return;
        }
    }

    disarmTimer();
    closeUnpairedPorts();
    bool found, full;
    {
        const std::lock_guard<std::mutex> g(lock);
        found = deviceFound;
        full = fullSpeed;
    }
    if (found)
    {
        post(EvDeviceFound, full ? 1 : 0);
        post(EvConnectButton, 1);
        return;
    }
    if (scanCount < kMaxScans)
    {
        ++scanCount;
        scanPorts();
        return;
    }
    post(EvNoDevice);
}

void Communication::handleIncomingMidiMessage(midi::InputPort* source, const juce::uint8* message, int size)
{
    sysex::Incoming in;
    if (!sysex::accept(message, size, in))
        return;
    const std::lock_guard<std::mutex> g(lock);
    switch (in.command)
    {
    case sysex::CmdIdentifyReply:
        handleIdentifyReply(source, in.data, in.length);
        identifyReplySeen = true;
        break;
    case sysex::ReplyStatus:
        onStatusReply(in.data[5]);
        break;
    case sysex::ReplyDataPacket:
        onDataPacket(in.data, in.length);
        break;
    default:
        break;
    }
}

// Called with the lock held.
void Communication::handleIdentifyReply(midi::InputPort* source, const juce::uint8* data, int length)
{
    if (!scanArmed)
    {
        ignoreUnexpectedReply();
        return;
    }
    const int index = data[5];
    midi::OutputPort* candidate = nullptr;
    if (index < outputCount)
        candidate = index < (int)outputs.size() ? outputs[(size_t)index].get() : nullptr;
    if (source == nullptr || candidate == nullptr)
        return;
    if (deviceFound)
    {
        // The paired instrument answering again is a repeat, not a second
        // instrument; a real second one is reported once per scan, however
        // often it answers.
        if (source == pairedInput && index == pairedIndex)
            return;
        if (!twoDevicesPosted)
        {
            twoDevicesPosted = true;
            post(EvTwoDevices);
        }
        return;
    }
    // The link speed is the paired instrument's own, never another's.
    fullSpeed = length >= 7 && data[6] == sysex::kFullSpeedMode;
    pairedInput = source;
    pairedOutput = candidate;
    pairedIndex = index;
    deviceFound = true;
}

bool Communication::isFullSpeed() const
{
    const std::lock_guard<std::mutex> g(lock);
    return fullSpeed;
}

bool Communication::isPaired() const
{
    const std::lock_guard<std::mutex> g(lock);
    return pairedInput != nullptr && pairedOutput != nullptr;
}

bool Communication::isScanArmed() const
{
    const std::lock_guard<std::mutex> g(lock);
    return scanArmed;
}

juce::String Communication::pairedOutputName() const
{
    const std::lock_guard<std::mutex> g(lock);
    return pairedOutput != nullptr ? pairedOutput->getName() : juce::String();
}

// ============================================================================
// Transfers. Every function below runs with `lock` held, either inside an
// operation start on the message thread, the timer callback, or the reply
// handler on the MIDI input thread.

const juce::String Communication::bufferPath = "***";

namespace
{
constexpr juce::int64 kPageBytes = 0x20000;
constexpr int kBlock = sysex::kBlockSize;
constexpr int kMaxReadRetries = 10;
// Requests of one read block that may come back with a wrong checksum.
constexpr int kMaxBadChecksums = 15;
} // namespace

int Communication::getState() const
{
    const std::lock_guard<std::mutex> g(lock);
    return state;
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

void Communication::startTicking(int periodMs)
{
    armTimer(periodMs);
}

int Communication::currentJobSerial() const
{
    const std::lock_guard<std::mutex> g(lock);
    return jobSerial;
}

int Communication::unexpectedReplyCount() const
{
    const std::lock_guard<std::mutex> g(lock);
    return unexpectedTotal;
}

void Communication::beginJob()
{
    flushUnexpectedCount();
    ++jobSerial;
    jobOpen = true;
    awaiting = Awaiting::nothing;
}

// A job ends once: whatever arrives later cannot end it again or end the next one.
void Communication::completeStep(bool failed, int reason)
{
    awaiting = Awaiting::nothing;
    if (!jobOpen)
        return;
    jobOpen = false;
    flushUnexpectedCount();
    post(EvStepDone, failed ? 1 : 0, reason, jobSerial);
}

// A reply that answers no request: a repeat, a stray or part of a flood. It
// changes nothing, not even the silence count (a stream of strays must not
// hide a silent instrument), and is logged once per job.
void Communication::ignoreUnexpectedReply()
{
    ++unexpectedTotal;
    ++unexpectedSinceRead;
    if (unexpectedInEpisode++ == 0 && log != nullptr)
        log->PrintA("Ignored an unexpected reply from the device.\n");
}

void Communication::flushUnexpectedCount()
{
    if (unexpectedInEpisode > 1 && log != nullptr)
        log->PrintA("Ignored %d unexpected replies from the device in all.\n", unexpectedInEpisode);
    unexpectedInEpisode = 0;
}

void Communication::postProgress(int kind, int value, int total)
{
    if (listener == nullptr)
        return;
    const bool update = kind >= 1 && kind <= 3;
    if (update && progressInFlight->load() >= kMaxProgressInFlight)
        return;
    auto* message = new CCustomMessage(EvProgress, kind, value, total);
    message->countIn(progressInFlight);
    listener->postMessage(message);
}

void Communication::postShare(float start, float end)
{
    postProgress(4, (int)(start * 10), (int)(end * 10));
}

// Every failure returns the controls to idle before the job list ends, so the
// user is never left with a busy window.
void Communication::failStep(int reason)
{
    awaiting = Awaiting::nothing;
    if (!jobOpen)
        return;
    post(EvControls, 1, 0);
    completeStep(true, reason);
}

// Ends the current operation with a log line: no more ticks, no open read file.
void Communication::abortStep(const char* logLine, int reason)
{
    if (log != nullptr)
        log->PrintA("%s", logLine);
    disarmTimer();
    abandonRead();
    failStep(reason);
}

bool Communication::refuseWithoutSectorTable()
{
    if (!sectorTable.empty())
        return false;
    abortStep("Flash infomation is not correct.\n", 0);
    return true;
}

void Communication::sendFrame(int size)
{
    if (pairedOutput != nullptr)
        pairedOutput->sendMessageNow(frameBuffer, size);
}

void Communication::logElapsed(const char* label, juce::uint32 since)
{
    if (log == nullptr)
        return;
    log->PrintA("%s", label);
    log->PrintElapsed(platform::getTickCount() - since);
}

bool Communication::loadFile(const juce::String& path)
{
    fileBuffer.clear();
    // The link's files are never read through a link, a FIFO or a device.
    juce::String problem;
    auto in = platform::RegularFileInput::open(path, false, problem);
    if (in == nullptr)
    {
        logProblem(problem);
        return false;
    }
    const auto size = in->getTotalLength();
    if (size < 0 || size > 0x40000000)
        return false;
    fileBuffer.resize((size_t)size);
    return in->read(fileBuffer.data(), (int)size) == (int)size;
}

void Communication::logProblem(const juce::String& problem)
{
    if (log != nullptr && problem.isNotEmpty())
        log->PrintA("%s\n", problem.toRawUTF8());
}

// ---- driver upload and flash test --------------------------------------------

void Communication::sendFlashDriver(const juce::uint8* image, int imageLength, const char* name,
                                    float shareStart, float shareEnd)
{
    const std::lock_guard<std::mutex> g(lock);
    beginJob();
    driverCopy.assign(image, image + juce::jmax(0, imageLength));
    sectorTable = driverimage::readSectors(driverCopy.data(), (int)driverCopy.size());
    if (sectorTable.empty())
    {
        driverCopy.clear();
        abortStep("Flash infomation is not correct.", 0);
        return;
    }
    state = UploadingDriver;
    postShare(shareStart, shareEnd);
    startTransfer(driverCopy.data(), 0, (juce::int64)driverCopy.size(), false);
    if (log != nullptr)
        log->PrintA("Sending flash driver for \"%s\"...\n", name);
    silenceTicks = 0;
    startTicking(periods.transferMs);
}

void Communication::testFlash(int parameter, const char* name)
{
    const std::lock_guard<std::mutex> g(lock);
    beginJob();
    state = TestingFlash;
    if (log != nullptr)
        log->PrintA("Testing flash \"%s\"...", name);
    awaiting = Awaiting::status;
    sendFrame(sysex::buildTestFlash(frameBuffer, parameter));
    silenceTicks = 0;
}

// ---- sending blocks ------------------------------------------------------------

void Communication::startTransfer(const juce::uint8* data, juce::int64 byteAddress, juce::int64 len,
                                  bool program)
{
    if (pairedOutput == nullptr)
    {
        if (showMessage)
            showMessage("No out device");
        abortStep("No out device\n", 0);
        return;
    }
    doneLength = 0;
    postProgress(2, 0, 1);
    sendSource = data;
    totalLength = len;
    if (program)
        sendFrame(sysex::buildSetAddress(frameBuffer, (juce::uint32)byteAddress, false));
    else
        sendFrame(sysex::buildDriverUpload(frameBuffer));
    sending = true;
    loadBlock();
    sendDataBlock();
}

// Copies the next part of the data into the block; a final short block is
// padded with 0xFF, which leaves erased flash as it is.
void Communication::loadBlock()
{
    const auto count = (int)juce::jmin<juce::int64>(kBlock, totalLength - doneLength);
    std::memcpy(blockBuffer, sendSource + doneLength, (size_t)juce::jmax(0, count));
    if (count < kBlock)
        std::memset(blockBuffer + juce::jmax(0, count), 0xFF, (size_t)(kBlock - juce::jmax(0, count)));
}

void Communication::sendDataBlock()
{
    awaiting = Awaiting::status;
    sendFrame(sysex::buildData(frameBuffer, blockBuffer));
    silenceTicks = 0;
}

void Communication::onStatusReply(int status)
{
    if (awaiting == Awaiting::readData && (status == 2 || status == 3))
    {
        // The instrument answered the read request with a time-out of its own.
        awaiting = Awaiting::nothing;
        silenceTicks = 0;
        finishStep(status);
        return;
    }
    if (awaiting != Awaiting::status)
    {
        ignoreUnexpectedReply();
        return;
    }
    awaiting = Awaiting::nothing;
    silenceTicks = 0;
    if (status != 0)
    {
        finishStep(status);
        return;
    }
    if (!sending)
    {
        finishStep(0);
        return;
    }
    doneLength += kBlock;
    postProgress(2, (int)doneLength, (int)totalLength);
    if (doneLength >= totalLength)
    {
        sending = false;
        postProgress(0, 0, 0);
        finishStep(0);
        return;
    }
    loadBlock();
    sendDataBlock();
}

void Communication::finishStep(int status)
{
    if (status == 2)
    {
        // The instrument's own flash operation timed out.
        sending = false;
        if (log != nullptr)
            log->PrintA("Timer out when operating the flash.\n");
        disarmTimer();
        if (state == Reading)
            abandonRead();
        failStep(5);
        return;
    }
    if (status == 3)
    {
        silenceTicks = 0;
        sending = false;
        if (state == Reading && retryCount < kMaxReadRetries)
        {
            ++retryCount;
            if (log != nullptr)
            {
                if (retryCount == 1)
                    log->PrintA("Time out, retry...1");
                else
                    log->PrintA(",%d", retryCount);
            }
            requestReadBlock(base + doneLength);
            return;
        }
        if (log != nullptr)
            log->PrintA("The device has no response.\n");
        disarmTimer();
        if (state == Reading)
            abandonRead();
        state = Idle;
        failStep(5);
        return;
    }

    if (status != 0 && (state == Erasing || state == Programming))
    {
        // The instrument refused or failed the flash work: never report it as done.
        sending = false;
        if (log != nullptr)
            log->PrintA("Flash operation failed (status %d).\n", status);
        disarmTimer();
        state = Idle;
        failStep(7);
        return;
    }

    switch (state)
    {
    case UploadingDriver:
        if (log != nullptr)
            log->PrintA("Send driver OK!\n");
        completeStep(false, 0);
        break;
    case TestingFlash:
        // The test ends the silence supervision either way.
        disarmTimer();
        if (status != 0)
        {
            post(EvControls, 1, 0);
            if (log != nullptr)
                log->PrintHighlighted(LogColour::red, "Fail.\n");
            completeStep(true, 0);
        }
        else
        {
            if (log != nullptr)
                log->PrintHighlighted(LogColour::green, "OK.\n");
            completeStep(false, 0);
        }
        break;
    case Erasing:
        if (eraseNextSector())
            return;
        completeStep(false, 0);
        disarmTimer();
        logElapsed("Erase finished, time:", phaseStart);
        break;
    case Programming:
        logElapsed("Program finished, time:", phaseStart);
        logElapsed("Total time:", sequenceStart);
        if (log != nullptr)
            log->PrintA("Program OK.\n");
        completeStep(false, 0);
        disarmTimer();
        break;
    default:
        break;
    }
}

// ---- erase -------------------------------------------------------------------

void Communication::eraseRange(const juce::String& path, int pageIn, juce::int64 flashOffsetIn,
                               juce::int64 lengthIn, juce::int64 fileOffsetIn, float shareStart,
                               float shareEnd)
{
    const std::lock_guard<std::mutex> g(lock);
    beginJob();
    page = pageIn;
    flashOffset = flashOffsetIn;
    length = lengthIn;
    fileOffset = fileOffsetIn;
    if (refuseWithoutSectorTable())
        return;
    if (path.isEmpty())
    {
        abortStep("Please select a file to write first\n", 6);
        return;
    }
    juce::int64 dataLength;
    if (path == bufferPath)
        dataLength = length;
    else
    {
        if (!loadFile(path))
        {
            abortStep("Can't open file to program.\n", 6);
            return;
        }
        dataLength = (juce::int64)fileBuffer.size();
        if (wordAddressing)
        {
            flashOffset *= 2;
            length *= 2;
            fileOffset *= 2;
        }
    }

    const auto plan = flashrange::planErase(sectorTable, {page, flashOffset, length, fileOffset, dataLength});
    if (plan.error == flashrange::EraseError::offsetNotAtSectorStart)
    {
        abortStep("Flash offset must at the start of one sector!\n", 0);
        return;
    }
    if (plan.error == flashrange::EraseError::fileOffsetBeyondData)
    {
        abortStep("File offset is beyond the end of the data.\n", 0);
        return;
    }
    firstSector = plan.firstSector;
    endSector = plan.endSector;
    programLength = plan.programLength;
    if (plan.cutAtFlashEnd && log != nullptr)
        log->PrintA("Program length is larger than the flash size.\n");
    if (plan.reportLength && log != nullptr)
        log->PrintA("Program length is set to %xh bytes.\n", (unsigned)programLength);

    sequenceStart = platform::getTickCount();
    state = Erasing;
    if (endSector == firstSector)
    {
        abortStep("Something wrong in program...\n", 0);
        return;
    }
    currentSector = firstSector;
    if (log != nullptr)
        log->PrintA("Erasing ...\n");
    post(EvControls, 0, 0);
    postProgress(1, 0, 1);
    phaseStart = platform::getTickCount();
    postShare(shareStart, shareEnd);
    eraseNextSector();
    startTicking(periods.transferMs);
}

bool Communication::eraseNextSector()
{
    if (currentSector >= endSector)
    {
        postProgress(0, 0, 0);
        return false;
    }
    postProgress(1, currentSector - firstSector, endSector - firstSector);
    const auto word = flashrange::sectorWordAddress(sectorTable, page, currentSector);
    awaiting = Awaiting::status;
    sendFrame(sysex::buildEraseSectorWord(frameBuffer, word));
    ++currentSector;
    silenceTicks = 0;
    return true;
}

// ---- program -----------------------------------------------------------------

void Communication::programFile(const juce::String& path, int pageIn, juce::int64 fileOffsetIn,
                                juce::int64 flashOffsetIn, juce::int64 lengthIn, float shareStart,
                                float shareEnd)
{
    const std::lock_guard<std::mutex> g(lock);
    beginJob();
    if (refuseWithoutSectorTable())
        return;
    if (path.isEmpty())
    {
        abortStep("Please select a file to write first\n", 6);
        return;
    }
    if (!loadFile(path))
    {
        abortStep("Can't open file to program.\n", 6);
        return;
    }
    const auto size = (juce::int64)fileBuffer.size();
    post(EvControls, 0, 0);
    startTicking(periods.transferMs);
    page = pageIn;
    fileOffset = fileOffsetIn;
    flashOffset = flashOffsetIn;
    length = lengthIn;
    if (wordAddressing)
    {
        fileOffset *= 2;
        flashOffset *= 2;
        length *= 2;
    }
    programLength = length == 0 ? size - fileOffset : juce::jmin(size - fileOffset, length);
    if (fileOffset < 0 || programLength <= 0)
    {
        abortStep("File offset is beyond the end of the data.\n", 0);
        return;
    }
    base = (juce::int64)page * kPageBytes + flashOffset;
    state = Programming;
    phaseStart = platform::getTickCount();
    postShare(shareStart, shareEnd);
    startTransfer(fileBuffer.data() + fileOffset, base, programLength, true);
}

void Communication::programBuffer(const juce::uint8* data, int pageIn, juce::int64 flashOffsetIn,
                                  juce::int64 lengthIn, float shareStart, float shareEnd)
{
    const std::lock_guard<std::mutex> g(lock);
    beginJob();
    if (refuseWithoutSectorTable())
        return;
    page = pageIn;
    flashOffset = flashOffsetIn;
    fileOffset = 0;
    programLength = lengthIn;
    if (data == nullptr || programLength <= 0)
    {
        abortStep("Nothing to program.\n", 0);
        return;
    }
    base = (juce::int64)page * kPageBytes + flashOffset;
    state = Programming;
    phaseStart = platform::getTickCount();
    // Supervised like programming from a file: a silent instrument is a time-out.
    post(EvControls, 0, 0);
    postShare(shareStart, shareEnd);
    startTicking(periods.transferMs);
    startTransfer(data, base, programLength, true);
}

// ---- read --------------------------------------------------------------------

void Communication::readToFile(const juce::String& path, int pageIn, juce::int64 flashOffsetIn,
                               juce::int64 lengthIn, float shareStart, float shareEnd)
{
    const std::lock_guard<std::mutex> g(lock);
    beginJob();
    sequenceStart = platform::getTickCount();
    outputFile.reset();
    syncedReadFile = juce::File();
    syncedReadSize = -1;
    if (refuseWithoutSectorTable())
        return;
    if (path.isEmpty())
    {
        abortStep("Please select a file to save the data.\n", 1);
        return;
    }
    outputPath = juce::File::isAbsolutePath(path) ? juce::File(path) : juce::File();
    juce::String problem;
    auto stream = platform::WorkingFileOutput::create(path, problem);
    if (stream == nullptr)
    {
        logProblem(problem);
        abortStep("Can't create file to save.\n", 1);
        return;
    }
    outputFile = std::move(stream);
    state = Reading;
    post(EvControls, 0, 0);
    startTicking(periods.transferMs);
    page = pageIn;
    flashOffset = flashOffsetIn;
    length = lengthIn;
    if (wordAddressing)
    {
        flashOffset *= 2;
        length *= 2;
    }
    postShare(shareStart, shareEnd);
    startRead();
}

void Communication::startRead()
{
    const juce::int64 size = flashrange::flashSize(sectorTable);
    totalLength = length;
    if (length <= 0 || flashOffset + length > size)
        totalLength = size - flashOffset;
    if (totalLength <= 0 || flashOffset < 0)
    {
        abortStep("Flash offset is beyond the end of the flash.\n", 0);
        return;
    }
    doneLength = 0;
    postProgress(3, 0, 1);
    base = (juce::int64)page * kPageBytes + flashOffset;
    post(EvControls, 0, 0);
    state = Reading;
    if (log != nullptr)
        log->PrintA("Reading...\n");
    retryCount = 0;
    badChecksums = 0;
    silenceTicks = 0;
    startTicking(periods.readMs);
    requestReadBlock(base + doneLength);
}

void Communication::requestReadBlock(juce::int64 byteAddress)
{
    rxCount = 0;
    awaiting = Awaiting::readData;
    sendFrame(sysex::buildSetAddress(frameBuffer, (juce::uint32)byteAddress, true));
}

void Communication::onDataPacket(const juce::uint8* data, int dataLength)
{
    // Only the packets of a requested block are data; any other would
    // overwrite a block being sent or end up in the next block.
    if (awaiting == Awaiting::drain)
        quietTicks = 0;
    if (awaiting != Awaiting::readData || state != Reading || outputFile == nullptr || dataLength < 8)
    {
        ignoreUnexpectedReply();
        return;
    }
    silenceTicks = 0;
    const int expected = fullSpeed ? sysex::kChecksummedBlockSize : sysex::kBlockSize;
    rxCount = sysex::unpackPayload(data + 6, dataLength - 6, blockBuffer, rxCount, expected);
    if (rxCount > expected)
    {
        // More bytes than a block holds: a packet was repeated or foreign. On a
        // link without checksums this is the only sign of it. Each packet is
        // acknowledged, so a repeated one keeps one packet too many on its way:
        // the block is asked for again only once that has stopped.
        retryBadBlock(true);
        return;
    }
    if (rxCount == expected)
    {
        awaiting = Awaiting::nothing;
        onReadBlock();
        if (retryCount != 0 && log != nullptr)
            log->PrintA("\n");
        retryCount = 0;
    }
    else if (data[5] != sysex::kNoAckFlag)
        sendFrame(sysex::buildAck(frameBuffer));
}

// The block arrived broken: fetched again, but not for ever. A block that
// stays broken is a broken link or flash, not noise.
void Communication::retryBadBlock(bool drainFirst)
{
    if (log != nullptr)
        log->PrintA(".");
    static_assert(kMaxBadChecksums == 15, "the log line below counts 16 attempts");
    if (++badChecksums > kMaxBadChecksums)
    {
        state = Idle;
        abortStep("\nThe read block's checksum is still wrong after 16 attempts.\n", 2);
        return;
    }
    if (drainFirst)
    {
        awaiting = Awaiting::drain;
        quietTicks = 0;
        return;
    }
    requestReadBlock(base + doneLength);
}

void Communication::abandonRead()
{
    outputFile.reset();
}

void Communication::onReadBlock()
{
    if (fullSpeed && !sysex::checksumMatches(blockBuffer))
    {
        retryBadBlock(false);
        return;
    }
    badChecksums = 0;
    postProgress(3, (int)doneLength, (int)totalLength);
    const bool last = doneLength + kBlock >= totalLength;
    const int count = last ? (int)(totalLength - doneLength) : kBlock;
    bool ok = outputFile->write(blockBuffer, (size_t)count);
    if (!last && ok)
    {
        doneLength += kBlock;
        requestReadBlock(base + doneLength);
        return;
    }
    if (ok)
    {
        // A read is done only once its data is on disk.
        outputFile->flush();
        ok = outputFile->getStatus().wasOk() && outputFile->getSize() == totalLength;
        outputFile.reset();
        ok = ok && platform::syncFileToDisk(outputPath);
    }
    if (ok)
    {
        syncedReadFile = outputPath;
        syncedReadSize = totalLength;
        unexpectedSinceRead = 0;
    }
    disarmTimer();
    state = Idle;
    if (!ok)
    {
        abortStep("Can't create file to save.\n", 1);
        return;
    }
    postProgress(0, 0, 0);
    logElapsed("Read finished, read time:", sequenceStart);
    if (log != nullptr)
        log->PrintA("Read OK.\n");
    postProgress(0, 0, 0);
    completeStep(false, 0);
}

// ---- compare, version, lock --------------------------------------------------

void Communication::compareFiles(const juce::String& writtenPath, juce::int64 offsetIn,
                                 const juce::String& readBackPath)
{
    const std::lock_guard<std::mutex> g(lock);
    beginJob();
    if (log != nullptr)
        log->PrintA("Start comparing...\n");
    juce::String problem;
    auto written = platform::RegularFileInput::open(writtenPath, false, problem);
    logProblem(problem);
    compareWith(written.get(), wordAddressing ? offsetIn * 2 : offsetIn, readBackPath);
}

void Communication::compareBuffer(const juce::uint8* data, juce::int64 dataLength,
                                  const juce::String& readBackPath)
{
    const std::lock_guard<std::mutex> g(lock);
    beginJob();
    if (log != nullptr)
        log->PrintA("Start comparing...\n");
    juce::MemoryInputStream written(data, (size_t)juce::jmax<juce::int64>(0, dataLength), false);
    compareWith(data != nullptr ? &written : nullptr, 0, readBackPath);
}

void Communication::compareWith(juce::InputStream* written, juce::int64 offset,
                                const juce::String& readBackPath)
{
    juce::String problem;
    auto readBack =
        written != nullptr ? platform::RegularFileInput::open(readBackPath, false, problem) : nullptr;
    logProblem(problem);
    if (written == nullptr || readBack == nullptr)
    {
        abortStep("Can't open source file.\n", 2);
        return;
    }
    const juce::int64 sizeW = written->getTotalLength();
    const juce::int64 sizeR = readBack->getTotalLength();
    if (sizeW < offset || offset < 0)
    {
        abortStep("Write file length < Source offset!\n", 2);
        return;
    }
    const juce::int64 remaining = sizeW - offset;
    const juce::int64 n = juce::jmin(remaining, sizeR);
    const bool longer = remaining != sizeR;
    written->setPosition(offset);
    bool differ = false;
    std::vector<char> a(0x10000), b(0x10000);
    for (juce::int64 done = 0; done < n && !differ;)
    {
        const int chunk = (int)juce::jmin<juce::int64>((juce::int64)a.size(), n - done);
        if (written->read(a.data(), chunk) != chunk || readBack->read(b.data(), chunk) != chunk)
            differ = true;
        else
            differ = std::memcmp(a.data(), b.data(), (size_t)chunk) != 0;
        done += chunk;
    }
    if (log != nullptr)
    {
        log->SetBold(true);
        log->PrintA("\n");
        log->PrintA(differ ? "FAIL!\n" : longer ? "OK! (One file is longer.)\n" : "OK!\n");
        log->SetBold(false);
    }
    if (differ)
        failStep(2);
    else
        completeStep(false, 0);
}

void Communication::postVersionFromFile(const juce::String& path)
{
    {
        // The job's result is EvVersionRead rather than EvStepDone.
        const std::lock_guard<std::mutex> g(lock);
        beginJob();
        jobOpen = false;
    }
    auto block = readVersionBlock(path, image::kMarkerOffsetInVersionRead);
    if (listener != nullptr)
        listener->postMessage(new CCustomMessage(EvVersionRead, 0, 0, 0, block.release(),
                                                 &CCustomMessage::deleteArray<char16_t>));
}

void Communication::writeLockFile(const juce::String& path, int mode)
{
    const std::lock_guard<std::mutex> g(lock);
    beginJob();
    const juce::File file = juce::File::isAbsolutePath(path) ? juce::File(path) : juce::File();
    juce::String problem;
    if (mode == 0)
    {
        if (!backupIsComplete(file))
        {
            // The lock promises a repair from the backup: without a whole,
            // synced backup read by this link, nothing may be erased.
            if (log != nullptr)
                log->PrintA("The backup of the data region is missing or incomplete.\n");
            failStep(3);
            return;
        }
        // Read blocks carry no address: a block the instrument sent twice
        // shifts every later block of the read by one, checksums and all, and
        // shows only as one block too many arriving after the read's end. So
        // the lock waits until the link has been quiet for a while.
        pendingLock = file;
        awaiting = Awaiting::quiet;
        quietTicks = 0;
        startTicking(periods.readMs);
        return;
    }
    if (mode == 1)
    {
        // A folder or a link in the lock's place is refused and left alone.
        const bool ok = platform::removeWorkingFile(path, problem);
        logProblem(problem);
        if (ok)
            platform::syncFileToDisk(file.getParentDirectory());
        if (ok)
            completeStep(false, 0);
        else
            failStep(4);
        return;
    }
    completeStep(false, 0);
}

void Communication::createLockAfterQuiet()
{
    awaiting = Awaiting::nothing;
    disarmTimer();
    const auto file = pendingLock;
    if (unexpectedSinceRead != 0)
    {
        if (log != nullptr)
            log->PrintA("Replies arrived after the backup was read: the backup is not trusted.\n");
        failStep(3);
        return;
    }
    bool ok = false;
    juce::String problem;
    if (auto out = platform::WorkingFileOutput::create(file.getFullPathName(), problem))
    {
        ok = out->writeText("ORV backup lock!", false, false, nullptr);
        out->flush();
        ok = ok && out->getStatus().wasOk();
    }
    logProblem(problem);
    // The lock must be on disk before anything is erased.
    ok = ok && platform::syncFileToDisk(file);
    if (ok)
        completeStep(false, 0);
    else
        failStep(3);
}

// The backup beside a lock: the data region as the last read of this link
// wrote it, whole, synced and unchanged in size since.
bool Communication::backupIsComplete(const juce::File& lockFile) const
{
    if (lockFile == juce::File())
        return false;
    const auto backup = lockFile.getSiblingFile(backupFileName);
    juce::int64 size = 0;
    return backup == syncedReadFile && syncedReadSize == kDataRegionBytes &&
           platform::inspectFile(backup.getFullPathName(), false, &size) == platform::FileKind::regular &&
           size == kDataRegionBytes;
}
