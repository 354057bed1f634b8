// imageCrc16_bench.cpp - throughput of the image checksum over a 16 MiB image
// buffer, beside zlib's crc32 over the same buffer in the same run; and the
// file checksum of an 8 MiB image on the flash disk (128-byte reads, virtual
// time for its pauses) beside reading the same file from the host.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/os/console/console.h"
#include "host/os/root.h"
#include "image/image.h"
#include "osapi.h"

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

constexpr uint32_t kFileSize = 8u << 20;

// The board in virtual time with an 8 MiB file on its flash disk: the file's
// path on the host.
const std::string& boardFile()
{
    static host::ScriptedPeer peer;
    static std::string path = [] {
        char templ[] = "/tmp/tarnboot-bench-XXXXXX";
        std::string dir = mkdtemp(templ);
        host::platformStartForTest(dir, &peer);
        int fd = vx::open("/DskVol/crc.bin", vx::RDWR | vx::CREAT, 0644);
        vx::write(fd, reinterpret_cast<const char*>(buffer().data()), kFileSize);
        vx::close(fd);
        return dir + "/DskVol/crc.bin";
    }();
    return path;
}

void BM_fileCrc(benchmark::State& state)
{
    boardFile();
    for (auto _ : state)
        benchmark::DoNotOptimize(fileCrc("/DskVol/crc.bin", kFileSize));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
}

// The same file read by the host in one piece and checksummed.
void BM_hostReadAndCrc(benchmark::State& state)
{
    const std::string& path = boardFile();
    std::vector<uint8_t> buf(kFileSize);
    for (auto _ : state) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        size_t got = std::fread(buf.data(), 1, kFileSize, f);
        std::fclose(f);
        benchmark::DoNotOptimize(imageCrc16(buf.data() + 2, static_cast<uint32_t>(got - 2)));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
}

} // namespace

BENCHMARK(BM_fileCrc)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_hostReadAndCrc)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_imageCrc16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_zlibCrc32)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
