// launch_bench.cpp - the launch's inflate loop (with the progress bar) over a
// 12 MiB payload into the code load area, beside the same stream in the fixed
// 1024/3072-byte steps and zlib's one-shot uncompress, in the same run. Goal:
// the launch's loop takes at most 1.1 times uncompress's time.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bsp/cpu/tarn8541/vxworks/start/bootLaunch.h"
#include "host/os/console/console.h"
#include "host/os/root.h"
#include "osapi.h"

namespace {

constexpr uint32_t kPayload = 12u << 20;
constexpr uint32_t kLoad = 0x00100000;

// Code-like data: 32-bit PowerPC instruction words from a small vocabulary
// with varying register fields and some immediates; it deflates to about half
// its size, as operational code does.
const std::vector<uint8_t>& payload()
{
    static const uint32_t ops[16] = {0x7C0802A6, 0x9421FFF0, 0x38600000, 0x4E800020, 0x80010014, 0x7C661B78,
                                     0x48000001, 0x2C030000, 0x41820010, 0x39200000, 0x90010014, 0x3D200000,
                                     0x81290000, 0x7D234B78, 0x38210010, 0x7C0803A6};
    static std::vector<uint8_t> p = [] {
        std::vector<uint8_t> b(kPayload);
        uint32_t x = 12345;
        for (uint32_t i = 0; i < kPayload; i += 4) {
            x = x * 1664525u + 1013904223u;
            uint32_t word = ops[(x >> 12) & 15] + (((x >> 20) & 7) << 21) + ((x >> 28) < 4 ? ((x >> 4) & 0xFF) : 0);
            b[i] = uint8_t(word >> 24);
            b[i + 1] = uint8_t(word >> 16);
            b[i + 2] = uint8_t(word >> 8);
            b[i + 3] = uint8_t(word);
        }
        return b;
    }();
    return p;
}

const std::vector<uint8_t>& stream()
{
    static std::vector<uint8_t> s = [] {
        uLongf len = compressBound(kPayload);
        std::vector<uint8_t> out(len);
        compress2(out.data(), &len, payload().data(), kPayload, 9);
        out.resize(len);
        return out;
    }();
    return s;
}

// The board in virtual time with a console peer that takes the progress bar.
void boardStart()
{
    static host::ScriptedPeer peer;
    static std::string dir = [] {
        char templ[] = "/tmp/tarnboot-bench-XXXXXX";
        return std::string(mkdtemp(templ));
    }();
    static bool started = (host::platformStartForTest(dir, &peer), true);
    (void)started;
    peer.clearOutput();
}

void BM_launchInflate(benchmark::State& state)
{
    boardStart();
    const std::vector<uint8_t>& in = stream();
    uint8_t* out = static_cast<uint8_t*>(vx::boardAddrToPtr(kLoad, CODE_LOAD_AREA_END - kLoad));
    for (auto _ : state) {
        uint32_t produced = 0;
        int rc = bootInflate(in.data(), uint32_t(in.size()), uint32_t(in.size()), out,
                             CODE_LOAD_AREA_END - kLoad, &produced);
        if (rc != 0 || produced != kPayload)
            state.SkipWithError("inflate failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kPayload);
}

// The same steps with nothing around them: what zlib itself costs for
// 1024/3072-byte calls, so the launch loop's own overhead shows apart.
void BM_zlibSteps(benchmark::State& state)
{
    const std::vector<uint8_t>& in = stream();
    uint8_t* out = static_cast<uint8_t*>(vx::boardAddrToPtr(kLoad, CODE_LOAD_AREA_END - kLoad));
    for (auto _ : state) {
        z_stream zs{};
        inflateInit(&zs);
        zs.next_in = const_cast<Bytef*>(in.data());
        zs.next_out = out;
        int rc = Z_OK;
        while (rc == Z_OK) {
            zs.avail_in = LAUNCH_IN_STEP;
            zs.avail_out = LAUNCH_OUT_STEP;
            rc = inflate(&zs, Z_NO_FLUSH);
        }
        if (rc != Z_STREAM_END || zs.total_out != kPayload)
            state.SkipWithError("inflate failed");
        inflateEnd(&zs);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kPayload);
}

void BM_zlibUncompress(benchmark::State& state)
{
    const std::vector<uint8_t>& in = stream();
    std::vector<uint8_t> out(kPayload);
    for (auto _ : state) {
        uLongf len = kPayload;
        if (uncompress(out.data(), &len, in.data(), uLong(in.size())) != Z_OK || len != kPayload)
            state.SkipWithError("uncompress failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kPayload);
}

} // namespace

BENCHMARK(BM_launchInflate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_zlibSteps)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_zlibUncompress)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
