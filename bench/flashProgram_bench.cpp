// flashProgram_bench.cpp - programming 1 MiB of the boot flash through the
// driver, with the write buffer and word by word: bus operations per byte
// (16-bit cycles to the device, status reads included) and host time.
#include <benchmark/benchmark.h>

#include "bsp/cpu/tarn8541/vxworks/mpc85xx/flashDev.h"
#include "host/board/board.h"
#include "host/os/console/console.h"
#include "host/os/root.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kArea = 0xFE100000u; // 1 MiB inside the flash disk region
constexpr uint32_t kBytes = 1u << 20;

// A board in virtual time whose flash is not persisted.
void boardUp()
{
    static host::ScriptedPeer peer;
    static bool up = false;
    if (up) return;
    char templ[] = "/tmp/tarnboot-bench-XXXXXX";
    if (!mkdtemp(templ)) std::abort();
    host::platformStartForTest(templ, &peer);
    host::board().setDir("");
    host::board().powerOn();
    std::filesystem::remove_all(templ);
    flashDevReset();
    if (flashDevProbe() != 0) std::abort();
    up = true;
}

const std::vector<uint8_t>& data()
{
    static std::vector<uint8_t> d = [] {
        std::vector<uint8_t> v(kBytes);
        uint32_t x = 1;
        for (auto& c : v) {
            x = x * 1664525u + 1013904223u;
            c = uint8_t(x >> 24);
        }
        return v;
    }();
    return d;
}

void program(benchmark::State& state, int buffered)
{
    boardUp();
    auto& nor = host::board().nor();
    flashDevBufferedWriteSet(buffered);
    uint64_t ops = 0, status = 0, programs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (flashDevErase(kArea, kBytes - 1) != 0) state.SkipWithError("erase failed");
        nor.counters() = {};
        state.ResumeTiming();
        if (flashDevWrite(kArea, data().data(), kBytes) != 0) state.SkipWithError("write failed");
        ops += nor.counters().reads + nor.counters().writes;
        status += nor.counters().statusReads;
        programs += nor.counters().wordPrograms + nor.counters().bufferPrograms;
    }
    flashDevBufferedWriteSet(1);
    const double bytes = double(kBytes) * double(state.iterations());
    state.counters["bus_ops_per_byte"] = double(ops) / bytes;
    state.counters["status_reads_per_byte"] = double(status) / bytes;
    state.counters["programs"] = double(programs) / double(state.iterations());
    state.SetBytesProcessed(int64_t(bytes));
}

void BM_flashProgramBuffered(benchmark::State& state) { program(state, 1); }
void BM_flashProgramWords(benchmark::State& state) { program(state, 0); }

} // namespace

BENCHMARK(BM_flashProgramBuffered)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_flashProgramWords)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
