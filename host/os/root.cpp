// root.cpp - the root task: power-on of the board model and of the platform
// services, then the boot application's main routine on this task.
#include "host/os/root.h"

#include "bsp/cpu/tarn8541/vxworks/mpc85xx/hwInfo.h"
#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/board/board.h"
#include "host/os/hostos.h"
#include "osapi.h"
#include "sysBus.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pthread.h>
#include <unistd.h>

namespace host {
namespace {

constexpr int kConsoleBaud = 9600;
constexpr uint32_t kL2Blk256K = 0x08000000u; // L2BLKSZ: the whole 256 KiB array as cache
constexpr uint32_t kL2Enable = L2Controller::kL2E | L2Controller::kL2I | kL2Blk256K;

void onHostSigterm(int) { signalRaiseFromHost(SIGTERM); }

void powerOnCommon(const std::string& dir, const DramFault& dramFault)
{
    board().setDir(dir);
    board().dram().clearStuckBit();
    if (dramFault.active) board().dram().setStuckBit(dramFault.addr, dramFault.bit, dramFault.value);
    board().powerOn();
    // The board support's cache set-up: the L2 array on as a whole cache,
    // invalidated as it is enabled; then the clock rates the core display uses.
    sysBusWrite32(CCSR_BASE + L2Controller::kCcsrOffset + L2Controller::kL2Ctl, kL2Enable);
    ccbFreqGet();
    memoryInit();
    signalsReset();
}

VolumeConfig volumeOf(const std::string& dir)
{
    VolumeConfig v;
    v.root = dir + "/DskVol";
    return v;
}

} // namespace

bool boardDirPrepare(const std::string& dir)
{
    std::error_code ec;
    std::filesystem::create_directories(dir + "/DskVol", ec);
    if (ec) {
        std::fprintf(stderr, "tarnboot: cannot create the board directory %s: %s\n", dir.c_str(),
                     ec.message().c_str());
        return false;
    }
    // The boot flash of a new board: factory boot code, an erased flash disk.
    if (std::string e = NorStore::createFactory(dir + "/nor.bin"); !e.empty()) {
        std::fprintf(stderr, "tarnboot: the boot flash image %s\n", e.c_str());
        return false;
    }
    // The board writes all of these as it runs: say now what it could not.
    for (const char* name : {"", "/DskVol", "/nor.bin", "/eeprom.bin", "/rtc.bin", "/handover"}) {
        const std::string path = dir + name;
        const bool isDir = !*name || std::strcmp(name, "/DskVol") == 0;
        if (::access(path.c_str(), isDir ? W_OK | X_OK : W_OK) != 0 && (isDir || errno != ENOENT)) {
            std::fprintf(stderr, "tarnboot: the board directory %s cannot be written: %s: %s\n", dir.c_str(),
                         path.c_str(), std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool boardDirClaim(const std::string& dir)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string path = dir + "/" + kBoardLockFile;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "tarnboot: the board directory %s cannot be written: %s: %s\n", dir.c_str(),
                     path.c_str(), std::strerror(errno));
        return false;
    }
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    if (::fcntl(fd, F_SETLK, &lk) != 0) {
        struct flock held = lk;
        const bool known = ::fcntl(fd, F_GETLK, &held) == 0 && held.l_type != F_UNLCK;
        std::fprintf(stderr, "tarnboot: the board directory %s is in use by another tarnboot (process %ld)\n",
                     dir.c_str(), known ? long(held.l_pid) : -1L);
        ::close(fd);
        return false;
    }
    // For a person looking: the holder's process id. The lock (a record lock,
    // not passed to the board's processes) goes with this process.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
        // The lock holds without the note.
    }
    return true;
}

void runBoardProcess(int consoleFd, const BoardRunConfig& cfg)
{
    resetModeSet(ResetMode::ExitProcess);
    clockInit(false);
    powerOnCommon(cfg.dir, cfg.dramFault);
    if (!board().powerOnError().empty()) {
        std::fprintf(stderr, "tarnboot: %s\n", board().powerOnError().c_str());
        std::_Exit(kStatusHostError);
    }
    board().nor().setFaults(cfg.flashFaults);
    for (uint8_t a : cfg.i2cSilent) board().i2cBus().setNotAcknowledging(a, true);
    board().i2cBus().setHeldBusy(cfg.i2cBusHeld);
    // The processor fetches its first instruction from the reset vector: with
    // the boot region erased, or half rewritten, there is nothing to run.
    if (std::string why = board().nor().deadReason(); !why.empty()) {
        std::fprintf(stderr, "tarnboot: dead board: %s; the board does not start\n", why.c_str());
        std::fflush(stderr);
        std::_Exit(kExitDeadBoard);
    }

    // Threads started from here (the console's) leave termination signals to
    // the boot task.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);
    consoleInitStream(consoleFd, cfg.console);
    vx::ioctl(vx::STD_IN, vx::FIOBAUDRATE, kConsoleBaud);
    vx::ioctl(vx::STD_IN, vx::FIOSETOPTIONS, vx::OPT_TERMINAL);

    filesInit(volumeOf(cfg.dir));
    filesSetPowerCutAfterWrites(cfg.powerCutAfterWrites);
    filesSetWriteErrorAt(cfg.writeErrorAt);
    filesSetRenameErrorAt(cfg.renameErrorAt);
    tffsStart();

    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = onHostSigterm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &term, nullptr);

    bootMain();
}

void platformStartForTest(const std::string& dir, ScriptedPeer* peer)
{
    resetModeSet(ResetMode::Throw);
    clockInit(true);
    powerOnCommon(dir, DramFault{});
    boardDirPrepare(dir);
    consoleInitScripted(peer);
    vx::ioctl(vx::STD_IN, vx::FIOBAUDRATE, kConsoleBaud);
    vx::ioctl(vx::STD_IN, vx::FIOSETOPTIONS, vx::OPT_TERMINAL);
    filesInit(volumeOf(dir));
    tffsStart();
    vx::dosFsMount("/DskVol/");
}

void platformStopForTest() { consoleShutdown(); }

} // namespace host
