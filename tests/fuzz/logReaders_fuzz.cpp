// logReaders_fuzz.cpp - libFuzzer target for the readers of "log2.bin", the
// text logs and "persist.txt" (built with clang and -DTARN_FUZZ=ON).
#include "logReaders.h"

#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/os/console.h"
#include "host/os/root.h"

#include <cstdlib>

namespace {
host::ScriptedPeer peer;
std::string filesDir;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char templ[] = "/tmp/tarnlog-fuzz-XXXXXX";
    if (mkdtemp(templ) == nullptr) std::abort();
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
