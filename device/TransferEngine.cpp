#include "device/TransferEngine.h"
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace
{
constexpr int kBlock = sysex::kBlockSize;
constexpr juce::uint32 kRed = 0xffff0000, kGreen = 0xff008000;
} // namespace

void TransferEngine::log(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    host.logText(text);
}

void TransferEngine::logElapsed(const char* label, juce::uint32 since)
{
    const juce::uint32 ms = host.now() - since, s = ms / 1000;
    log("%s%02d:%02d:%02d.%03d\n", label, (int)(s / 3600), (int)((s % 3600) / 60), (int)(s % 60),
        (int)(ms % 1000));
}

// ---- jobs ------------------------------------------------------------------------

void TransferEngine::beginJob()
{
    flushUnexpectedCount();
    ++serial;
    open = true;
    state = Idle{};
}

void TransferEngine::endJob(bool failed, StepFailure reason)
{
    if (std::holds_alternative<Reading>(state) && failed)
        host.readAbandoned();
    state = Idle{};
    if (!open)
        return;
    open = false;
    flushUnexpectedCount();
    host.postEvent(EvStepDone{serial, failed ? std::optional<StepFailure>(reason) : std::nullopt});
}

void TransferEngine::endJobSilently()
{
    state = Idle{};
    open = false;
    flushUnexpectedCount();
}

void TransferEngine::abort(const char* logLine, StepFailure reason)
{
    log("%s", logLine);
    host.setTickPeriod(0);
    fail(reason);
}

void TransferEngine::ignoreUnexpected()
{
    ++unexpectedTotal;
    if (unexpectedInJob++ == 0)
        log("Ignored an unexpected reply from the device.\n");
}

void TransferEngine::flushUnexpectedCount()
{
    if (unexpectedInJob > 1)
        log("Ignored %d unexpected replies from the device in all.\n", unexpectedInJob);
    unexpectedInJob = 0;
}

int TransferEngine::stateNumber() const
{
    if (auto* s = std::get_if<Sending>(&state))
        return s->program ? 3 : 0;
    if (std::holds_alternative<Testing>(state))
        return 1;
    if (std::holds_alternative<Erasing>(state))
        return 2;
    if (std::holds_alternative<Reading>(state))
        return 5;
    return -1;
}

// ---- sending blocks ----------------------------------------------------------------

void TransferEngine::startUpload(const juce::uint8* image, juce::int64 length)
{
    Sending s;
    s.source = image;
    s.total = length;
    state = s;
    host.postProgress(ProgressKind::transfer, 0, 1);
    host.sendFrame(frame, sysex::buildDriverUpload(frame));
    loadBlock(std::get<Sending>(state));
    sendBlock();
    host.setTickPeriod(periods.transferMs);
}

void TransferEngine::startProgram(const juce::uint8* data, juce::int64 byteAddress, juce::int64 length)
{
    Sending s;
    s.source = data;
    s.total = length;
    s.program = true;
    s.phaseStart = host.now();
    state = s;
    host.setTickPeriod(periods.transferMs);
    host.postProgress(ProgressKind::transfer, 0, 1);
    host.sendFrame(frame, sysex::buildSetAddress(frame, (juce::uint32)byteAddress, false));
    loadBlock(std::get<Sending>(state));
    sendBlock();
}

// The next part of the data; a final short block is padded with 0xFF, which
// leaves erased flash as it is.
void TransferEngine::loadBlock(Sending& s)
{
    const auto count = (int)juce::jlimit<juce::int64>(0, kBlock, s.total - s.done);
    std::memcpy(block, s.source + s.done, (size_t)count);
    std::memset(block + count, 0xFF, (size_t)(kBlock - count));
}

void TransferEngine::sendBlock()
{
    host.sendFrame(frame, sysex::buildData(frame, block));
    silenceTicks = 0;
}

void TransferEngine::onSendingStatus(Sending& s, int status)
{
    if (status != 0 && s.program)
    {
        // The instrument refused or failed the flash work: never report it as done.
        log("Flash operation failed (status %d).\n", status);
        host.setTickPeriod(0);
        fail(StepFailure::flashOperationFailed);
        return;
    }
    if (status == 0)
    {
        s.done += kBlock;
        host.postProgress(ProgressKind::transfer, (int)s.done, (int)s.total);
        if (s.done < s.total)
        {
            loadBlock(s);
            sendBlock();
            return;
        }
        host.postProgress(ProgressKind::ended, 0, 0);
    }
    // The upload ends at its last block, or at the first status other than 0.
    if (!s.program)
    {
        log("Send driver OK!\n");
        succeed();
        return;
    }
    logElapsed("Program finished, time:", s.phaseStart);
    logElapsed("Total time:", sequenceStart);
    log("Program OK.\n");
    host.setTickPeriod(0);
    succeed();
}

// ---- flash test and erase --------------------------------------------------------

void TransferEngine::startTestFlash(int parameter, bool careful)
{
    Testing t;
    t.parameter = parameter;
    t.careful = careful;
    state = t;
    auto& test = std::get<Testing>(state);
    if (!careful)
        return sendTestRequest(test);
    // A reply still on its way (a late copy of the upload's status) must not
    // be taken for the verdict.
    test.phase = Testing::Phase::settling;
    host.setTickPeriod(periods.settleMs);
}

void TransferEngine::sendTestRequest(Testing& t)
{
    t.phase = Testing::Phase::waiting;
    t.unexpectedAtRequest = unexpectedInJob;
    host.sendFrame(frame, sysex::buildTestFlash(frame, t.parameter));
    silenceTicks = 0;
    host.setTickPeriod(periods.transferMs);
}

void TransferEngine::onTestStatus(Testing& t, int status)
{
    t.failed = t.failed || status != 0;
    if (status == 0)
        ++t.passes;
    if (!t.careful)
        return endTest(t);
    // The verdict counts only if nothing else follows it.
    t.phase = Testing::Phase::checking;
    t.quietTicks = t.settleTicks = 0;
    host.setTickPeriod(periods.settleMs);
}

void TransferEngine::onTestTick(Testing& t)
{
    if (t.phase == Testing::Phase::waiting)
        return; // silence supervision (by the caller)
    ++t.settleTicks;
    if (++t.quietTicks < 2)
    {
        if (t.settleTicks > kMaxSettleTicks)
        {
            // Replies keep coming: no moment to ask in, or a verdict among others.
            host.setTickPeriod(0);
            host.logHighlighted(kRed, "Unclear.\n");
            log("The link never fell quiet around the flash test.\n");
            fail(StepFailure::unclearReplies);
        }
        return;
    }
    if (t.phase == Testing::Phase::settling)
        return sendTestRequest(t);
    // A checked verdict; a pass is asked for a second time.
    if (unexpectedInJob == t.unexpectedAtRequest && !t.failed && t.passes < 2)
        return sendTestRequest(t);
    endTest(t);
}

void TransferEngine::endTest(Testing& t)
{
    // The test ends the silence supervision either way.
    host.setTickPeriod(0);
    const int extra = unexpectedInJob - t.unexpectedAtRequest;
    if (t.careful && (extra != 0 || (t.failed && t.passes != 0)))
    {
        // Neither a pass nor a fail: the caller asks again from the start.
        host.logHighlighted(kRed, "Unclear.\n");
        if (extra != 0)
            log("%d unexpected replies came with the flash test's answer.\n", extra);
        else
            log("The flash test passed once and failed once.\n");
        fail(StepFailure::unclearReplies);
        return;
    }
    if (t.failed)
    {
        host.logHighlighted(kRed, "Fail.\n");
        fail(StepFailure::none);
        return;
    }
    host.logHighlighted(kGreen, "OK.\n");
    succeed();
}

void TransferEngine::startErase(std::vector<juce::uint32> sectorWords)
{
    sequenceStart = host.now();
    Erasing e;
    e.words = std::move(sectorWords);
    e.phaseStart = sequenceStart;
    state = std::move(e);
    host.postProgress(ProgressKind::erase, 0, 1);
    sendNextErase(std::get<Erasing>(state));
    host.setTickPeriod(periods.transferMs);
}

void TransferEngine::sendNextErase(Erasing& e)
{
    host.postProgress(ProgressKind::erase, (int)e.next, (int)e.words.size());
    host.sendFrame(frame, sysex::buildEraseSectorWord(frame, e.words[e.next]));
    ++e.next;
    silenceTicks = 0;
}

void TransferEngine::onErasingStatus(Erasing& e, int status)
{
    if (status != 0)
    {
        log("Flash operation failed (status %d).\n", status);
        host.setTickPeriod(0);
        fail(StepFailure::flashOperationFailed);
        return;
    }
    if (e.next < e.words.size())
    {
        sendNextErase(e);
        return;
    }
    host.postProgress(ProgressKind::ended, 0, 0);
    const auto phaseStart = e.phaseStart;
    succeed();
    host.setTickPeriod(0);
    logElapsed("Erase finished, time:", phaseStart);
}

// ---- read ----------------------------------------------------------------------

void TransferEngine::startRead(juce::int64 byteAddress, juce::int64 length, bool checksummed)
{
    sequenceStart = host.now();
    Reading r;
    r.base = byteAddress;
    r.total = length;
    r.checksummed = checksummed;
    state = r;
    host.postProgress(ProgressKind::read, 0, 1);
    log("Reading...\n");
    silenceTicks = 0;
    host.setTickPeriod(periods.readMs);
    requestBlock(std::get<Reading>(state));
}

void TransferEngine::requestBlock(Reading& r)
{
    r.filled = 0;
    r.phase = Reading::Phase::waiting;
    silenceTicks = 0;
    host.sendFrame(frame, sysex::buildSetAddress(frame, (juce::uint32)(r.base + r.done), true));
}

void TransferEngine::onPacket(const juce::uint8* data, int length)
{
    auto* r = std::get_if<Reading>(&state);
    if (r != nullptr && r->phase == Reading::Phase::draining)
        r->quietTicks = 0;
    if (auto* q = std::get_if<QuietWait>(&state))
        q->quietTicks = 0;
    if (auto* t = std::get_if<Testing>(&state))
        t->quietTicks = 0;
    // Only the packets of a requested block are data; any other would end up
    // in the next block.
    if (r == nullptr || r->phase != Reading::Phase::waiting || length < 8)
    {
        ++packetsAfterRead;
        ignoreUnexpected();
        return;
    }
    silenceTicks = 0;
    const int expected = r->checksummed ? sysex::kChecksummedBlockSize : sysex::kBlockSize;
    r->filled = sysex::unpackPayload(data + 6, length - 6, block, r->filled, expected);
    if (r->filled > expected)
    {
        // More bytes than a block holds: a packet was repeated or foreign. On a
        // link without checksums this is the only sign of it. Each packet is
        // acknowledged, so a repeated one keeps one packet too many on its way:
        // the block is asked for again only once that has stopped.
        retryBrokenBlock(*r);
        return;
    }
    if (r->filled < expected)
    {
        if (data[5] != sysex::kNoAckFlag)
            host.sendFrame(frame, sysex::buildAck(frame));
        return;
    }
    if (r->retries != 0)
        log("\n");
    r->retries = 0;
    onBlockComplete(*r);
}

void TransferEngine::onBlockComplete(Reading& r)
{
    if (r.checksummed && !sysex::checksumMatches(block))
    {
        retryBrokenBlock(r);
        return;
    }
    r.brokenBlocks = 0;
    host.postProgress(ProgressKind::read, (int)r.done, (int)r.total);
    const bool last = r.done + kBlock >= r.total;
    const int count = last ? (int)(r.total - r.done) : kBlock;
    if (!host.storeReadData(block, count))
    {
        abort("Can't create file to save.\n", StepFailure::cantCreateFile);
        return;
    }
    if (!last)
    {
        r.done += kBlock;
        requestBlock(r);
        return;
    }
    // A read is done only once its data is on disk: the owner syncs it.
    r.phase = Reading::Phase::storing;
    host.setTickPeriod(0);
    host.readDataComplete();
}

void TransferEngine::finishRead(bool durable)
{
    auto* r = std::get_if<Reading>(&state);
    if (r == nullptr || r->phase != Reading::Phase::storing)
        return;
    if (!durable)
    {
        abort("Can't create file to save.\n", StepFailure::cantCreateFile);
        return;
    }
    packetsAfterRead = statusesAfterRead = 0;
    state = Idle{};
    host.postProgress(ProgressKind::ended, 0, 0);
    logElapsed("Read finished, read time:", sequenceStart);
    log("Read OK.\n");
    succeed();
}

// The block arrived broken: fetched again, but not for ever. A block that
// stays broken is a broken link or flash, not noise.
void TransferEngine::retryBrokenBlock(Reading& r)
{
    log(".");
    if (++r.brokenBlocks > kMaxBrokenBlocks)
    {
        abort("\nThe read block's checksum is still wrong after 16 attempts.\n", StepFailure::dataNotCorrect);
        return;
    }
    drainThenRequest(r);
}

// Read packets carry no address, so a block is asked for again only once
// the earlier attempt's packets have stopped: a repeated packet still on its
// way would otherwise shift every later attempt by one packet.
void TransferEngine::drainThenRequest(Reading& r)
{
    r.phase = Reading::Phase::draining;
    r.quietTicks = 0;
}

// ---- replies and ticks ---------------------------------------------------------

void TransferEngine::onStatus(int status)
{
    if (auto* r = std::get_if<Reading>(&state))
    {
        // A read request may be answered by a time-out of the instrument's own.
        if (r->phase != Reading::Phase::waiting || (status != 2 && status != 3))
        {
            ignoreUnexpected();
            return;
        }
        silenceTicks = 0;
        status == 2 ? flashTimedOut() : timeOut();
        return;
    }
    auto* test = std::get_if<Testing>(&state);
    if (std::holds_alternative<Idle>(state) || std::holds_alternative<QuietWait>(state) ||
        (test != nullptr && test->phase != Testing::Phase::waiting))
    {
        if (test != nullptr)
            test->quietTicks = 0;
        ++statusesAfterRead;
        ignoreUnexpected();
        return;
    }
    silenceTicks = 0;
    if (status == 2)
        flashTimedOut();
    else if (status == 3)
        timeOut();
    else if (auto* s = std::get_if<Sending>(&state))
        onSendingStatus(*s, status);
    else if (auto* e = std::get_if<Erasing>(&state))
        onErasingStatus(*e, status);
    else
        onTestStatus(*test, status);
}

// The instrument's own flash operation timed out.
void TransferEngine::flashTimedOut()
{
    log("Timer out when operating the flash.\n");
    host.setTickPeriod(0);
    fail(StepFailure::timeOut);
}

// Nine silent ticks, or a status 3: a read asks for its block again up to ten
// times; anything else ends.
void TransferEngine::timeOut()
{
    silenceTicks = 0;
    auto* r = std::get_if<Reading>(&state);
    if (r != nullptr && r->retries < kMaxReadRetries)
    {
        ++r->retries;
        if (r->retries == 1)
            log("Time out, retry...1");
        else
            log(",%d", r->retries);
        drainThenRequest(*r);
        return;
    }
    abort("The device has no response.\n", StepFailure::timeOut);
}

void TransferEngine::onTick()
{
    if (!open)
        return; // between jobs
    if (auto* q = std::get_if<QuietWait>(&state))
    {
        ++q->ticks;
        if (++q->quietTicks >= 2 || q->ticks > kMaxSettleTicks)
            host.quietWaitEnded();
        return;
    }
    if (auto* t = std::get_if<Testing>(&state); t != nullptr && t->phase != Testing::Phase::waiting)
        return onTestTick(*t);
    auto* r = std::get_if<Reading>(&state);
    if (r != nullptr && r->phase == Reading::Phase::storing)
        return;
    if (r != nullptr && r->phase == Reading::Phase::draining && ++r->quietTicks >= 2)
    {
        // A whole tick without a packet: the broken block's packets are gone.
        requestBlock(*r);
        return;
    }
    if (std::holds_alternative<Idle>(state))
        return;
    // Silence supervision: the ninth tick without a reply is a time-out.
    if (silenceTicks < 50)
        ++silenceTicks;
    if (silenceTicks >= kSilentTicksForTimeout)
        timeOut();
}

void TransferEngine::startQuietWait()
{
    state = QuietWait{};
    host.setTickPeriod(periods.settleMs);
}

void TransferEngine::finishQuietWait()
{
    state = Idle{};
    host.setTickPeriod(0);
}
