// files_fuzz.cpp - libFuzzer program over the file readers of fileTargets.h
// (built with clang and -DTARN_FUZZ=ON). TARN_FUZZ_TARGET names the target
// (dim, config, diag, image, receive, logs; default logs); its seed inputs
// are written to the corpus directory given, if it is empty.
#include "fileTargets.h"

#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/os/root.h"

#include <cstdlib>
#include <filesystem>

namespace {
host::ScriptedPeer peer;
std::string boardDir;
fuzzfiles::Target target;
fuzzfiles::Context ctx;

// The board directory (with its 32 MiB flash image) goes when the fuzzer ends.
void removeBoard()
{
    std::error_code ec;
    std::filesystem::remove_all(boardDir, ec);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    const char* name = std::getenv("TARN_FUZZ_TARGET");
    for (const fuzzfiles::Target& t : fuzzfiles::targets())
        if (std::string(t.name) == (name ? name : "logs")) target = t;
    if (!target.run) std::abort();
    char templ[] = "/tmp/tarn-fuzz-XXXXXX";
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
    ctx = {std::string(templ) + "/DskVol/files", &peer};
    // Seeds into the first corpus directory when it is empty.
    for (int i = 1; i < *argc; ++i) {
        std::filesystem::path dir = (*argv)[i];
        if ((*argv)[i][0] == '-' || !std::filesystem::is_directory(dir) || !std::filesystem::is_empty(dir)) continue;
        int n = 0;
        for (const std::string& s : target.seeds)
            std::ofstream(dir / ("seed" + std::to_string(n++)), std::ios::binary) << s;
        break;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    target.run(ctx, std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
