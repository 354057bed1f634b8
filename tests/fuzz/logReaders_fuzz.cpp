// logReaders_fuzz.cpp - libFuzzer target for the readers of "log2.bin", the
// text logs and "persist.txt" (built with clang and -DTARN_FUZZ=ON).
#include "logReaders.h"

#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/os/console.h"
#include "host/os/root.h"

#include <cstdlib>
#include <filesystem>

namespace {
host::ScriptedPeer peer;
std::string boardDir;
std::string filesDir;

// The board directory (with its 32 MiB flash image) goes when the fuzzer ends.
void removeBoard()
{
    std::error_code ec;
    std::filesystem::remove_all(boardDir, ec);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char templ[] = "/tmp/tarnlog-fuzz-XXXXXX";
    if (mkdtemp(templ) == nullptr) std::abort();
    boardDir = templ;
    std::atexit(removeBoard);
    peer.onOutput = [](host::ScriptedPeer& p, const std::string&) { p.clearOutput(); };
    peer.onIdle = [](host::ScriptedPeer&) { return false; };
    host::platformStartForTest(templ, &peer);
    vx::chdir("/DskVol/");
    vx::mkdir("files");
    vx::chdir("files");
    flashAccessLockCreate();
    filesDir = std::string(templ) + "/DskVol/files";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    logReadersRun(filesDir, data, size);
    return 0;
}
