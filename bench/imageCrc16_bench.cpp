// imageCrc16_bench.cpp - throughput of the image checksum over a 16 MiB image
// buffer, beside zlib's crc32 over the same buffer in the same run.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "image/image.h"

namespace {

const std::vector<uint8_t>& buffer()
{
    static std::vector<uint8_t> buf = [] {
        std::vector<uint8_t> b(IMAGE_MAX_SIZE);
        uint32_t x = 1;
        for (uint8_t& c : b) {
            x = x * 1664525u + 1013904223u;
            c = static_cast<uint8_t>(x >> 24);
        }
        return b;
    }();
    return buf;
}

void BM_imageCrc16(benchmark::State& state)
{
    const std::vector<uint8_t>& buf = buffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(imageCrc16(buf.data() + 2, static_cast<uint32_t>(buf.size() - 2)));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buf.size() - 2));
}

void BM_zlibCrc32(benchmark::State& state)
{
    const std::vector<uint8_t>& buf = buffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32(0L, buf.data() + 2, static_cast<uInt>(buf.size() - 2)));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buf.size() - 2));
}

} // namespace

BENCHMARK(BM_imageCrc16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_zlibCrc32)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
