// End-to-end update figures, in-process against the virtual piano:
//  1. with the timing model of a USB-MIDI full-speed link and S29GL-S flash
//     times, a safe-path update of a 256 KiB image against the protocol's own
//     minimum for the same exchanges (host taking no time);
//  2. with the timing model off, the whole safe-path update: time, MB/s and
//     the host's time per 4 KiB block.
// Prints one line per figure with its target. Usage: bench_update [RUNS]
#include "reliability/ProgramSession.h"
#include "update/ImageBuilder.h"
#include "virtual-piano/LinkModel.h"
#include <algorithm>
#include <cstdio>

namespace
{
using reliability::ProgramSession;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0.0 : (n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2);
}

struct UpdateRun
{
    bool ok = false;
    double ms = 0;           // UPDATE pressed to "Update OK!"
    double minimumMs = 0;    // protocol minimum for the same exchanges
    double instrumentMs = 0; // time inside the emulated instrument's code
    double payloadBytes = 0; // driver, program and read bytes moved
    double blocks = 0;       // 4 KiB blocks moved
};

// Waits, polling the message loop every millisecond, for the update's end.
bool waitForEnd(ProgramSession& s, double& endMs)
{
    const double deadline = vp::nowMs() + 300000;
    while (vp::nowMs() < deadline)
    {
        juce::MessageManager::getInstance()->runDispatchLoopUntil(1);
        if (!s.main->isUpdating() && s.main->getStatus() != "Updating....")
        {
            endMs = vp::nowMs();
            return s.main->getStatus() == "Update OK!";
        }
    }
    return false;
}

UpdateRun runUpdate(const juce::File& root, bool timing)
{
    UpdateRun run;
    const auto program = root.getChildFile("program"), work = root.getChildFile("work");
    work.deleteRecursively();
    work.createDirectory();
    const juce::String config = juce::String("flash=S29GL512_S") + (timing ? ",timing=1" : "");
    // The product's tick periods: an erase of 275 ms must not look like silence.
    const Communication::TickPeriods productPeriods;
    ProgramSession s(reliability::virtualPiano(config), program, work, &productPeriods);
    if (!s.ready())
        return run;
    auto& piano = s.piano->piano(0);
    struct Counts
    {
        juce::int64 programmed;
        int reads, uploads;
    };
    auto counts = [&]
    {
        return piano.withPiano(
            [](vp::VirtualPiano& p) {
                return Counts{p.bytesProgrammed(), p.readRequestsSoFar(), p.driverUploads()};
            });
    };
    const auto before = counts();
    const double instrumentBefore = piano.instrumentMs();
    piano.recordExchanges(true);
    const double start = vp::nowMs();
    s.pressUpdate();
    double end = 0;
    run.ok = waitForEnd(s, end);
    run.ms = end - start;
    piano.recordExchanges(false);
    const auto exchanges = piano.takeExchanges();
    run.minimumMs = vp::protocolMinimumMs(exchanges, vp::PianoConfig::parse(config));
    run.instrumentMs = piano.instrumentMs() - instrumentBefore;
    const auto after = counts();
    const double programmed = (double)(after.programmed - before.programmed);
    const double read = 4096.0 * (after.reads - before.reads);
    const double drivers = 4096.0 * (after.uploads - before.uploads);
    run.payloadBytes = programmed + read + drivers;
    run.blocks = run.payloadBytes / 4096.0;
    return run;
}
} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? juce::jmax(1, std::atoi(argv[1])) : 5;
    juce::ScopedJuceInitialiser_GUI gui;
    const auto root = juce::File::createTempFile("tamarind-bench");
    root.createDirectory();
    const auto program = root.getChildFile("program");
    program.createDirectory();
    image::ImageSpec rom;
    rom.version = "V2.00.00";
    rom.fill = "random:7";
    const auto image = image::buildUpdateImage(rom);
    program.getChildFile("update.rom").replaceWithData(image.getData(), image.getSize());

    int failures = 0;
    // 1. Against the protocol's own limit.
    std::vector<double> ratios, measured, minimum;
    const int timedRuns = juce::jmin(runs, 3);
    for (int i = 0; i < timedRuns; ++i)
    {
        const auto r = runUpdate(root, true);
        if (!r.ok)
        {
            ++failures;
            continue;
        }
        measured.push_back(r.ms);
        minimum.push_back(r.minimumMs);
        ratios.push_back(r.ms / r.minimumMs);
    }
    std::printf("update against the protocol limit (USB-MIDI full speed, S29GL-S times, 256 KiB safe path), "
                "median of %d:\n",
                (int)ratios.size());
    std::printf("  measured %.1f s, protocol minimum %.1f s, measured/minimum %.4f (target <= 1.01)\n",
                median(measured) / 1000, median(minimum) / 1000, median(ratios));

    // 2. Engine overhead with the timing model off.
    std::vector<double> ms, mbps, hostPerBlock, moved;
    for (int i = 0; i < runs; ++i)
    {
        const auto r = runUpdate(root, false);
        if (!r.ok)
        {
            ++failures;
            continue;
        }
        ms.push_back(r.ms);
        moved.push_back(r.payloadBytes);
        mbps.push_back(r.payloadBytes / 1e6 / (r.ms / 1000));
        hostPerBlock.push_back((r.ms - r.instrumentMs) * 1000 / r.blocks);
    }
    std::printf("engine overhead (timing model off, safe path, %.2f MB moved), median of %d:\n",
                median(moved) / 1e6, (int)ms.size());
    std::printf("  whole update %.1f ms (target < 1000 ms), %.1f MB/s, host time per 4 KiB block %.1f us\n",
                median(ms), median(mbps), median(hostPerBlock));
    if (failures != 0)
        std::printf("  %d update(s) did not end with \"Update OK!\"\n", failures);
    root.deleteRecursively();
    return failures == 0 ? 0 : 1;
}
