// main.cpp - tarnboot's command line: the board directory, the console
// attachment and run options; the board itself runs in a child process.
#include "host/os/console/console.h"
#include "host/os/hostos.h"
#include "host/os/root.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* kUsage =
    "usage: tarnboot [options]\n"
    "Boots the tarn8541 board model whose persistent state is in the board directory.\n"
    "\n"
    "  --board DIR          board directory (default ./board); created with factory\n"
    "                       contents on first use: DIR/DskVol is the flash disk volume\n"
    "  --console KIND       where the serial console is attached:\n"
    "                         stdio     this terminal (default); Ctrl-] q quits,\n"
    "                                   Ctrl-] r presses reset, Ctrl-] p cycles power\n"
    "                         pty       a pseudo-terminal whose path is printed, for\n"
    "                                   picocom, minicom, tio or lrzsz\n"
    "                         tcp:PORT  a TCP listener on 127.0.0.1:PORT (one client\n"
    "                                   at a time; PORT 0 picks a free one)\n"
    "                         telnet:PORT  the same, speaking telnet: telnet 127.0.0.1 PORT\n"
    "                       With pty, tcp and telnet the board powers on when a terminal\n"
    "                       first attaches; what it prints while none is attached is kept\n"
    "                       (the last 64 KiB) for the next one.\n"
    "  --no-wait            with pty, tcp or telnet: power on at once\n"
    "  --on-reset ACTION    restart (default): a board reset restarts the board as at\n"
    "                       power-on; exit: tarnboot exits with status 3 instead\n"
    "  --line-pace          pace console bytes in both directions to the baud rate\n"
    "                       (10 bits a byte), as a real serial line\n"
    "\n"
    "Signals, to either of tarnboot's two processes: SIGUSR1 presses reset, SIGUSR2\n"
    "cycles power (both ignored before the first power-on), SIGTERM ends the run\n"
    "(status 143) unless a transfer catches it, SIGINT and SIGHUP end the run.\n"    "\n"
    "Fault injection (reliability tests):\n"
    "  --fault-power-after-writes N   cut the power during the Nth file write call\n"
    "  --fault-write-error N          the Nth file write call since power-on fails\n"
    "                                 (an I/O error; nothing of it is stored)\n"
    "  --fault-rename-error N         the Nth file rename since power-on fails (an I/O\n"
    "                                 error; both names stay as they were)\n"
    "  --fault-power-after-flash-ops N\n"
    "                                 cut the power during the Nth boot flash\n"
    "                                 operation (a word program, a buffer program or a\n"
    "                                 sector erase) since power-on, leaving it partly\n"
    "                                 done in nor.bin (some of its bits changed)\n"
    "  --fault-flash-program fail|hang|race\n"
    "                                 every boot flash program ends with the device's\n"
    "                                 failure status (DQ5) at its maximum time, never\n"
    "                                 ends, or completes at its maximum time in the\n"
    "                                 very status read that first shows DQ5\n"
    "  --fault-flash-erase fail|hang|race\n"
    "                                 the same for every sector or chip erase\n"
    "  --fault-console-drop RATE      drop received console bytes at RATE (0..1)\n"
    "  --fault-console-flip RATE      flip one bit of received console bytes at RATE (0..1)\n"
    "  --fault-i2c-nak ADDR           the I2C device at 7-bit address ADDR (e.g. 0x51 the\n"
    "                                 VPD EEPROM, 0x68 the clock) stops acknowledging;\n"
    "                                 may be given more than once\n"
    "  --fault-i2c-busy               another master holds the I2C bus busy for ever\n"
    "  --fault-dram-stuck ADDR:BIT[:V]\n"
    "                                 hold bit BIT (0..31, 0 the least significant) of the\n"
    "                                 32-bit DRAM word at hexadecimal ADDR (a multiple of 4\n"
    "                                 below 0x10000000) stuck at V (0 or 1, default 0)\n"
    "\n"
    "One tarnboot runs a board at a time: the board directory is locked\n"
    "(DIR/tarnboot.lock) while it runs; another one on it ends with status 1.\n"
    "\n"
    "Exit status: 0 code entered (DIR/handover written) or quit, 1 host error,\n"
    "2 usage error, 3 board reset with --on-reset exit, 4 dead board (boot region\n"
    "erased, or its update cut short), 5 power cut by fault injection.\n";

// ADDR:BIT[:V], e.g. 0x05000000:7 or 5000000:31:1.
bool parseStuckBit(const char* s, host::DramFault& out)
{
    char* end = nullptr;
    unsigned long long addr = std::strtoull(s, &end, 16);
    if (end == s || *end != ':') return false;
    const char* b = end + 1;
    long bit = std::strtol(b, &end, 10);
    if (end == b || bit < 0 || bit > 31) return false;
    long value = 0;
    if (*end == ':') {
        const char* v = end + 1;
        value = std::strtol(v, &end, 10);
        if (end == v || (value != 0 && value != 1)) return false;
    }
    if (*end != '\0' || addr % 4 != 0 || addr > 0x10000000ull - 4) return false;
    out = host::DramFault{true, uint32_t(addr), int(bit), value == 1};
    return true;
}

bool parseFlashFault(const char* s, host::NorFlash::Fault& out)
{
    if (!s) return false;
    if (std::strcmp(s, "fail") == 0)
        out = host::NorFlash::Fault::Fail;
    else if (std::strcmp(s, "hang") == 0)
        out = host::NorFlash::Fault::Hang;
    else if (std::strcmp(s, "race") == 0)
        out = host::NorFlash::Fault::Race;
    else
        return false;
    return true;
}

// A count of 1 or more.
bool parseCount(const char* s, uint64_t& out)
{
    char* end = nullptr;
    out = s ? std::strtoull(s, &end, 10) : 0;
    return s && *s && *end == '\0' && out != 0;
}

bool parseRate(const char* s, double& out)
{
    char* end = nullptr;
    out = std::strtod(s, &end);
    return end && *end == '\0' && out >= 0.0 && out <= 1.0;
}

int usageError(const char* what)
{
    std::fprintf(stderr, "tarnboot: %s\n(tarnboot --help for usage)\n", what);
    return host::kStatusUsage;
}

} // namespace

int main(int argc, char** argv)
{
    host::BoardRunConfig run;
    run.dir = "./board";
    host::AttachConfig attach;
    bool exitOnReset = false;

    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* opt) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)opt;
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--board") {
            const char* v = value("--board");
            if (!v || !*v) return usageError("--board needs a directory");
            run.dir = v;
        } else if (a == "--console") {
            const char* v = value("--console");
            if (!v) return usageError("--console needs stdio, pty, tcp:PORT or telnet:PORT");
            std::string k = v;
            const bool telnet = k.rfind("telnet:", 0) == 0;
            if (telnet) k = "tcp:" + k.substr(7);
            if (k == "stdio") {
                attach.kind = host::AttachKind::Stdio;
            } else if (k == "pty") {
                attach.kind = host::AttachKind::Pty;
            } else if (k.rfind("tcp:", 0) == 0) {
                char* end = nullptr;
                long port = std::strtol(k.c_str() + 4, &end, 10);
                if (k.size() == 4 || *end || port < 0 || port > 65535)
                    return usageError(telnet ? "--console telnet:PORT needs a port number 0..65535"
                                             : "--console tcp:PORT needs a port number 0..65535");
                attach.kind = telnet ? host::AttachKind::Telnet : host::AttachKind::Tcp;
                attach.tcpPort = int(port);
            } else {
                return usageError("--console needs stdio, pty, tcp:PORT or telnet:PORT");
            }
        } else if (a == "--no-wait") {
            attach.noWait = true;
        } else if (a == "--on-reset") {
            const char* v = value("--on-reset");
            if (v && std::strcmp(v, "exit") == 0)
                exitOnReset = true;
            else if (v && std::strcmp(v, "restart") == 0)
                exitOnReset = false;
            else
                return usageError("--on-reset needs restart or exit");
        } else if (a == "--line-pace") {
            run.console.linePace = true;
        } else if (a == "--fault-power-after-writes" || a == "--fault-write-error" || a == "--fault-rename-error") {
            uint64_t& n = a == "--fault-write-error"    ? run.writeErrorAt
                          : a == "--fault-rename-error" ? run.renameErrorAt
                                                        : run.powerCutAfterWrites;
            if (!parseCount(value(a.c_str()), n)) return usageError((a + " needs a count of 1 or more").c_str());
        } else if (a == "--fault-power-after-flash-ops") {
            if (!parseCount(value(a.c_str()), run.flashFaults.powerCutAfterOps))
                return usageError("--fault-power-after-flash-ops needs a count of 1 or more");
        } else if (a == "--fault-flash-program") {
            if (!parseFlashFault(value(a.c_str()), run.flashFaults.program))
                return usageError("--fault-flash-program needs fail, hang or race");
        } else if (a == "--fault-flash-erase") {
            if (!parseFlashFault(value(a.c_str()), run.flashFaults.erase))
                return usageError("--fault-flash-erase needs fail, hang or race");
        } else if (a == "--fault-console-drop") {
            const char* v = value(a.c_str());
            if (!v || !parseRate(v, run.console.dropRate)) return usageError("--fault-console-drop needs a rate 0..1");
        } else if (a == "--fault-console-flip") {
            const char* v = value(a.c_str());
            if (!v || !parseRate(v, run.console.flipRate)) return usageError("--fault-console-flip needs a rate 0..1");
        } else if (a == "--fault-i2c-nak") {
            const char* v = value(a.c_str());
            char* end = nullptr;
            unsigned long addr = v ? std::strtoul(v, &end, 0) : 0;
            if (!v || !*v || *end || addr > 0x7F) return usageError("--fault-i2c-nak needs a 7-bit address 0..0x7f");
            run.i2cSilent.push_back(uint8_t(addr));
        } else if (a == "--fault-i2c-busy") {
            run.i2cBusHeld = true;
        } else if (a == "--fault-dram-stuck") {
            const char* v = value(a.c_str());
            if (!v || !parseStuckBit(v, run.dramFault))
                return usageError("--fault-dram-stuck needs ADDR:BIT[:V] with a word address in DRAM, "
                                  "a bit 0..31 and V 0 or 1");
        } else {
            return usageError(("unknown option " + a).c_str());
        }
    }

    if (!host::boardDirClaim(run.dir) || !host::boardDirPrepare(run.dir)) return host::kStatusHostError;

    return host::superviseBoard(attach, exitOnReset, [&](int fd, bool escapeEnabled) -> int {
        host::BoardRunConfig cfg = run;
        cfg.console.escapeEnabled = escapeEnabled;
        host::runBoardProcess(fd, cfg);
    });
}
