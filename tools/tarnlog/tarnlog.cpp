// tarnlog - puts records into a board's logs the way the operational code
// does, and shows them, using the system's own log code on the board's flash
// disk volume (DIR/DskVol/files). For demonstrations and tests of retrieval.
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/flashDev.h"
#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/os/console/console.h"
#include "host/os/root.h"
#include "log/eventLog.h"
#include "log/log.h"
#include "osapi.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: tarnlog --board DIR [--time SECONDS] COMMAND [ARGS]\n"
    "Event log \"log2.bin\" (opened as the boot opens it: a full or malformed log is emptied):\n"
    "  event FILE LINE CODE            store an event record (type 1)\n"
    "  error FILE LINE CODE            store an error record (type 2)\n"
    "  exception KIND SRR0 SRR1 MSR DSISR DAR\n"
    "                                  store an exception record; KIND is mcheck, watchdog,\n"
    "                                  0x300, 0x1100 or any number\n"
    "  raw WORD...                     store a record of up to 13 words as given (the rest 0),\n"
    "                                  e.g. a corrupt record: raw 0 1 2 3 4 5\n"
    "  show                            print the log as retrieval renders it, newest first\n"
    "  clear                           empty the log\n"
    "Text message logs:\n"
    "  message TEXT...                 write messages of the current start into slog0.txt\n"
    "                                  and olog0.txt, from the start's first message on\n"
    "  persist TEXT...                 append messages to persist.txt\n"
    "  persist-show                    print persist.txt\n"
    "  dump NAME                       write the text logs of all generations into NAME\n"
    "Numbers are decimal or 0x-prefixed hexadecimal. --time sets the board clock for\n"
    "the records' time (seconds since 1970; default: the host's time).\n"
    "Exit status: 0 done, 1 the command failed, 2 usage error.\n";

int usage(const char* what)
{
    std::fprintf(stderr, "tarnlog: %s\n(tarnlog --help for usage)\n", what);
    return 2;
}

// Decimal (a leading zero does not make it octal: "08" is eight), or
// hexadecimal after 0x; a minus sign gives the 32-bit two's complement.
bool number(const char* text, uint32_t& out)
{
    if (text == nullptr) return false;
    bool negative = *text == '-';
    const char* digits = negative ? text + 1 : text;
    int base = 10;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits += 2;
    }
    // strtoll would also take blanks and a second sign here.
    unsigned char first = static_cast<unsigned char>(*digits);
    if (base == 16 ? !std::isxdigit(first) : !std::isdigit(first)) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(digits, &end, base);
    if (negative) v = -v;
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > UINT32_MAX) return false;
    out = uint32_t(v);
    return true;
}

bool exceptionKind(const std::string& kind, uint32_t& type)
{
    if (kind == "mcheck") type = EL_TYPE_MACHINE_CHECK;
    else if (kind == "watchdog") type = EL_TYPE_WATCHDOG;
    else return number(kind.c_str(), type);
    return true;
}

// The console of the system is the host's standard output, without the CRs of its line ends.
struct ToolConsole : host::ScriptedPeer {
    ToolConsole()
    {
        onOutput = [](host::ScriptedPeer& self, const std::string& text) {
            for (char c : text)
                if (c != '\r') std::fputc(c, stdout);
            self.clearOutput();
        };
        onIdle = [](host::ScriptedPeer&) { return false; };
    }
};

int storeOrFail(const EventLogRecord& rec)
{
    if (eventLogStore(&rec, 0) != 0) {
        std::fprintf(stderr, "tarnlog: the log is closed or switched off: nothing stored\n");
        return 1;
    }
    // The store does not examine its file writes: read the slot back, so a
    // record that stayed in memory only is not reported as stored.
    uint32_t slot = eventLogNextSlot() - 1;
    EventLogRecord back{};
    int fd = vx::open(EVENT_LOG_FILE, vx::RDONLY, 0);
    bool ok = fd >= 0 && vx::lseek(fd, int32_t(slot * EVENT_LOG_RECORD_SIZE), vx::SEEK_FROM_START) >= 0
              && vx::read(fd, back.bytes, sizeof back.bytes) == int32_t(sizeof back.bytes)
              && std::memcmp(back.bytes, rec.bytes, sizeof back.bytes) == 0;
    if (fd >= 0) vx::close(fd);
    if (!ok) {
        std::fprintf(stderr, "tarnlog: the record did not reach %s\n", EVENT_LOG_FILE);
        return 1;
    }
    return 0;
}

int runCommand(const std::string& cmd, const std::vector<std::string>& args)
{
    auto argc = args.size();
    if (cmd == "event" || cmd == "error") {
        uint32_t line = 0, code = 0;
        if (argc != 3 || !number(args[1].c_str(), line) || !number(args[2].c_str(), code))
            return usage((cmd + " needs FILE LINE CODE").c_str());
        EventLogRecord rec;
        eventLogRecordBuild(cmd == "event" ? EL_TYPE_EVENT : EL_TYPE_ERROR, args[0].c_str(), int32_t(line), code,
                            &rec);
        return storeOrFail(rec);
    }
    if (cmd == "exception") {
        uint32_t type = 0, w[5] = {};
        bool ok = argc == 6 && exceptionKind(args[0], type);
        for (size_t i = 0; ok && i < 5; ++i) ok = number(args[i + 1].c_str(), w[i]);
        if (!ok) return usage("exception needs KIND SRR0 SRR1 MSR DSISR DAR");
        EventLogRecord rec;
        eventLogExceptionBuild(type, w[0], w[1], w[2], w[3], w[4], &rec);
        return storeOrFail(rec);
    }
    if (cmd == "raw") {
        if (argc == 0 || argc > EVENT_LOG_RECORD_SIZE / 4) return usage("raw needs 1 to 13 words");
        EventLogRecord rec{};
        for (size_t i = 0; i < argc; ++i) {
            uint32_t w = 0;
            if (!number(args[i].c_str(), w)) return usage(("not a number: " + args[i]).c_str());
            eventLogWordPut(&rec, uint32_t(4 * i), w);
        }
        return storeOrFail(rec);
    }
    if (cmd == "show" && argc == 0) {
        char text[EVENT_LOG_TEXT_LEN] = {};
        int32_t cursor = eventLogFormat(nullptr, EVENT_LOG_NONE, text);
        if (text[0] == '\0') {
            std::printf("Message Log Empty\n");
            return 0;
        }
        for (;;) {
            std::fputs(text, stdout);
            if (cursor == EVENT_LOG_NONE) break;
            text[0] = '\0';
            cursor = eventLogFormat(nullptr, cursor, text);
            if (text[0] == '\0') break;
        }
        return 0;
    }
    if (cmd == "clear" && argc == 0) return eventLogClear();
    if (cmd == "message" && argc > 0) {
        logAttach();
        for (const auto& m : args)
            if (logStartupWrite(m.data(), uint32_t(m.size())) != 0) return 1;
        return 0;
    }
    if (cmd == "persist" && argc > 0) {
        persistInit();
        for (const auto& m : args)
            if (persistWrite(m.data(), uint32_t(m.size())) != 0) return 1;
        return 0;
    }
    if (cmd == "persist-show" && argc == 0) {
        int rc = persistPrint();
        vx::fflushStdout();
        return rc == 0 ? 0 : 1;
    }
    if (cmd == "dump" && argc == 1) return logDump(args[0].c_str()) == 0 ? 0 : 1;
    return usage(("unknown command or wrong arguments: " + cmd).c_str());
}

} // namespace

int main(int argc, char** argv)
{
    std::string dir;
    uint32_t now = uint32_t(std::time(nullptr));
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--board" && i + 1 < argc) {
            dir = argv[++i];
        } else if (a == "--time" && i + 1 < argc) {
            if (!number(argv[++i], now)) return usage("--time needs seconds since 1970");
        } else {
            return usage(("unknown option " + a).c_str());
        }
    }
    if (dir.empty()) return usage("--board DIR is needed");
    if (i >= argc) return usage("no command");
    std::string cmd = argv[i++];
    std::vector<std::string> args(argv + i, argv + argc);

    // The board's platform without its boot: the volume mounted, "files/" entered,
    // the stores opened as at start-up, but the text logs not rotated.
    ToolConsole console;
    host::platformStartForTest(dir, &console);
    vx::clockSettime(now, 0);
    // Mounted as the boot mounts it: only a formatted flash disk (a board that
    // has booted once) holds a volume; writing into any other would be lost.
    flashDevProbe();
    if (vx::usrTffsConfig(0, 0, "/DskVol/") != vx::OK || vx::chdir("/DskVol/") != vx::OK) {
        std::fprintf(stderr, "tarnlog: the flash disk of %s holds no file system (boot the board once first)\n",
                     dir.c_str());
        host::platformStopForTest();
        return 1;
    }
    vx::mkdir("files");
    vx::chdir("files");
    flashAccessLockCreate();
    eventLogOpen(EVENT_LOG_BOOT_SIZE, nullptr, 5, 2, 7);

    int rc = runCommand(cmd, args);
    vx::fflushStdout();
    std::fflush(stdout);
    host::platformStopForTest();
    return rc;
}
