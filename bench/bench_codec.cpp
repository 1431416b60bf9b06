// Codec speed on 4096-byte blocks: 7-bit packing (4096 -> 4682 bytes),
// unpacking, and the read-block checksum, each against memcpy of the same
// bytes. Google Benchmark reports bytes per second; the summary printed at the
// end gives GB/s and the ratio to memcpy with the target.
#include "device/SysexCodec.h"
#include <benchmark/benchmark.h>
#include <cstring>
#include <map>
#include <random>
#include <vector>

namespace
{
std::vector<juce::uint8> randomBlock(size_t size)
{
    std::vector<juce::uint8> v(size);
    std::mt19937 rng(7);
    for (auto& b : v)
        b = (juce::uint8)rng();
    return v;
}

void Memcpy(benchmark::State& state)
{
    const auto in = randomBlock(sysex::kBlockSize);
    std::vector<juce::uint8> out(sysex::kBlockSize);
    for (auto _ : state)
    {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * sysex::kBlockSize);
}

void Pack(benchmark::State& state)
{
    const auto in = randomBlock(sysex::kBlockSize);
    std::vector<juce::uint8> out(sysex::kBlockSize * 2);
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(sysex::packBytes(in.data(), sysex::kBlockSize, out.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * sysex::kBlockSize);
}

void Unpack(benchmark::State& state)
{
    const auto in = randomBlock(sysex::kBlockSize);
    std::vector<juce::uint8> packed(sysex::kBlockSize * 2), out(sysex::kBlockSize);
    const int n = sysex::packBytes(in.data(), sysex::kBlockSize, packed.data());
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(sysex::unpackPayload(packed.data(), n, out.data(), 0, sysex::kBlockSize));
        benchmark::ClobberMemory();
    }
    if (std::memcmp(in.data(), out.data(), in.size()) != 0)
        state.SkipWithError("unpack does not give the packed block back");
    state.SetBytesProcessed((int64_t)state.iterations() * sysex::kBlockSize);
}

void Checksum(benchmark::State& state)
{
    const auto in = randomBlock(sysex::kBlockSize);
    juce::uint8 sum[4];
    for (auto _ : state)
    {
        sysex::blockChecksum(in.data(), sum);
        benchmark::DoNotOptimize(sum);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * sysex::kBlockSize);
}

BENCHMARK(Memcpy);
BENCHMARK(Pack);
BENCHMARK(Unpack);
BENCHMARK(Checksum);

// Collects bytes per second per benchmark besides the normal console output.
class Collector : public benchmark::ConsoleReporter
{
public:
    Collector() : ConsoleReporter(OO_Tabular) {} // plain text for the report

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const auto& r : runs)
        {
            // With repetitions, the median; otherwise the single run.
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median")
                continue;
            const auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end())
                rates[r.run_name.function_name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};
} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    const double copy = collector.rates["Memcpy"];
    std::printf("codec on 4096-byte blocks (memcpy %.2f GB/s):\n", copy / 1e9);
    for (const char* name : {"Pack", "Unpack", "Checksum"})
    {
        const double rate = collector.rates[name];
        std::printf("  %-8s %6.2f GB/s, %.3f x memcpy (target >= 1 GB/s)\n", name, rate / 1e9,
                    copy > 0 ? rate / copy : 0.0);
    }
    return 0;
}
