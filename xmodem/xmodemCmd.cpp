/*
 * xmodemCmd.cpp - the xmodem command: option word, checks, announcements,
 * the pauses around a transfer, raw mode, and the engines run once per file.
 */
#include "xmodem/xmodem.h"
#include "xmodem/xmodemInt.h"

#include "osapi.h"

#include <cstring>

namespace xm {

Options opt;
char transfer_name[NAME_LEN];
uint8_t block_buffer[BLOCK_MAX];
int32_t ymodem_length = 0;
bool ymodem_length_known = false;
int32_t bytes_received = 0;
int32_t ymodem_files_left = 0;
int32_t ymodem_bytes_left = 0;

namespace {

constexpr int kTextMax = 80;   /* the command text, terminator included */
constexpr int kWordsMax = 20;  /* command name, 18 words, terminating entry */
constexpr const char* kCancelHint = "Send several Control-X characters to cancel before transfer starts.\n\r";

const char* const usagePieces[] = {
    "Usage:  \txmodem ",
    " -[rb!rt!ra!sb!st!sa][options] filename... 0\n\r",
    "Major Commands --",
    "\n\r\trb <-- Receive Binary",
    "\n\r\trt <-- Receive Text",
    "\n\r\tra <-- Receive Apple macintosh text",
    "\n\r\tsb <-- Send Binary",
    "\n\r\tst <-- Send Text",
    "\n\r\tsa <-- Send Apple macintosh text",
    "\n\rOptions --",
    "\n\r\ty  <-- Use YMODEM Batch Mode on transmit",
    "\n\r\tg  <-- Select YMODEM-G Mode on receive",
    "\n\r\tm  <-- Use MODEM7 Batch Mode on transmit",
    "\n\r\tk  <-- Use 1K packets on transmit",
    "\n\r\tc  <-- Select CRC mode on receive",
    "\n\r\tt  <-- Indicate a TOO BUSY Unix system",
    "\n\r\td  <-- Delete xmodem.log file before starting",
    "\n\r\tl  <-- (ell) Turn OFF Log File Entries",
    "\n\r\tx  <-- Include copious debugging information in log file",
    "\n\r\tp  <-- Use with SunOS tip ~C command",
    "\n\r\tw  <-- Wait before initial handshake",
    "\n\r\te  <-- Supress EOT confirmation",
    "\n\r\tn  <-- Allow mid-transfer CAN-CAN aborts",
    "\n\r",
};

const char* typeName()
{
    switch (opt.transfer_type) {
    case 't': return "text";
    case 'b': return "binary";
    case 'a': return "apple";
    default: return "";
    }
}

void scanOptions(const char* word)
{
    for (const char* p = word; *p; ++p) {
        char c = *p;
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        switch (c) {
        case '-': break;
        case 'b': opt.transfer_type = 'b'; break;
        case 'r': opt.receive = true; break;
        case 's': opt.send = true; break;
        case 'c': opt.crc_mode = true; break;
        case 'g': opt.crc_mode = opt.ymodem_batch = opt.ymodem_g = opt.can_abort_anytime = true; break;
        case 'y': opt.ymodem_batch = opt.batch_active = true; break;
        case 'm': opt.modem7_batch = opt.batch_active = true; break;
        case 'k': opt.long_packets = true; break;
        case 'n': opt.can_abort_anytime = true; break;
        case 'p': opt.progress_messages = true; break;
        case 'w': opt.wait_before_start = true; break;
        case 'e': opt.skip_eot_confirm = true; break;
        case 'x': opt.debug_level = opt.debug_level == 1 ? 2 : 1; break;
        case 'l': opt.log_enabled = false; break;
        case 'd': opt.delete_log = true; break;
        case 't': opt.too_busy = true; break;
        default: vx::printf("Invalid Flag %c ignored\n\r", *p); break;
        }
    }
}

int fatal(const char* text)
{
    fatal_error(text, true);
    return -1;
}

int receiveCommand(char* const* files, int fileCount)
{
    if (fileCount == 0) {
        if (!opt.crc_mode && !opt.modem7_batch) opt.crc_mode = true;
        vx::printf("Ready for xbatch RECEIVE");
        vx::printf(" in %s mode\n\r", typeName());
        if (!opt.progress_messages) vx::printf("%s", kCancelHint);
        std::strcpy(transfer_name, "xmodem.in");
    } else {
        const char* name = files[0];
        int probe = vx::open(name, vx::RDONLY, 0);
        if (probe >= 0) {
            vx::close(probe);
            vx::printf("Warning -- Target File Exists and is Being Overwritten\n\r");
        }
        vx::printf("Ready to RECEIVE File %s", name);
        vx::printf(" in %s mode\n\r", typeName());
        if (!opt.progress_messages) vx::printf("%s", kCancelHint);
        std::strcpy(transfer_name, name); /* words fit: the text holds 79 characters */
        opt.named_receive = true;
    }
    if (opt.wait_before_start) pause_ms(15000);
    pause_ms(uint32_t(2048000u / uint32_t(line_speed)));
    enter_raw_mode();
    opt.batch_files_done = 0;
    int rc;
    while ((rc = receive_file(transfer_name)) == 1) ++opt.batch_files_done;
    end_transfer(rc != 0);
    return rc == 0 ? 0 : -1;
}

int batchSendCommand(char* const* files, int fileCount)
{
    if (opt.ymodem_batch) {
        ymodem_files_left = 0;
        ymodem_bytes_left = 0;
        for (int i = 0; i < fileCount; ++i) {
            vx::Stat st;
            if (vx::stat(files[i], &st) != 0) continue;
            ++ymodem_files_left;
            ymodem_bytes_left += int32_t(st.size);
            if (opt.transfer_type == 't') {
                int fd = vx::open(files[i], vx::RDONLY, 0);
                if (fd >= 0) {
                    ymodem_bytes_left += countnl(fd);
                    vx::close(fd);
                }
            }
        }
        vx::printf("Ready to YMODEM xbatch SEND");
    } else {
        vx::printf("Ready to MODEM7 xbatch SEND");
    }
    vx::printf(" in %s mode\n\r", typeName());
    if (!opt.progress_messages) vx::printf("%s", kCancelHint);
    if (opt.wait_before_start) pause_ms(15000);
    pause_ms(uint32_t(4096000u / uint32_t(line_speed)));
    /* The whole batch runs in raw mode; the console is restored once. */
    enter_raw_mode();
    int rc = 0;
    for (int i = 0; i < fileCount && rc == 0; ++i) {
        vx::Stat st;
        if (vx::stat(files[i], &st) != 0) {
            if (opt.progress_messages) vx::printErr("\nFile %s not found\n", files[i]);
            continue;
        }
        rc = send_file(files[i]);
        flush_input();
    }
    if (rc == 0) rc = send_file("");
    end_transfer(rc != 0);
    if (rc == -1) return -1;
    if (opt.progress_messages) vx::printErr("Batch Send Complete\n");
    return 0;
}

int singleSendCommand(const char* name)
{
    vx::Stat st;
    if (vx::stat(name, &st) != 0) return fatal("Can't find requested file");
    if (st.size == 0) return fatal("Requested file size is 0");
    const uint32_t size = st.size;
    vx::printf("File %s Ready to SEND", name);
    vx::printf(" in %s mode\n\r", typeName());
    vx::printf("Estimated File Size %ldK, %ld Sectors, %ld Bytes\n\r", long(size / 1024 + 1), long(size / 128 + 1),
               long(size));
    print_time_estimate(int32_t(size / 128 + 1), false);
    if (!opt.progress_messages) vx::printf("%s", kCancelHint);
    pause_ms(uint32_t(4096000u / uint32_t(line_speed)));
    enter_raw_mode();
    int rc = send_file(name);
    end_transfer(rc != 0);
    return rc == 0 ? 0 : -1;
}

} // namespace
} // namespace xm

int xmodem(const char* command)
{
    using namespace xm;
    static char text[kTextMax];
    static char* words[kWordsMax];
    if (!command) command = "";
    /* Refused before anything is touched: the text must fit its buffer. */
    int len = 0;
    while (len < kTextMax && command[len] != '\0') ++len;
    if (len >= kTextMax) {
        vx::printf("\r\n%s\n\r", "XMODEM Fatal Error - Command text too long");
        return -1;
    }
    std::strcpy(text, command);
    int count = 0;
    static char commandName[] = "xmodem";
    words[count++] = commandName;
    for (char* p = text; *p;) {
        while (*p == ' ') *p++ = '\0';
        if (!*p) break;
        if (count >= kWordsMax - 1) {
            vx::printf("\r\n%s\n\r", "XMODEM Fatal Error - Too many words in command");
            return -1;
        }
        words[count++] = p;
        while (*p && *p != ' ') ++p;
    }
    words[count] = nullptr;

    opt = Options{};
    opt.transfer_type = 't';
    transfer_killed = false;
    if (count < 2) {
        for (const char* piece : usagePieces) vx::printf("%s", piece);
        return -1;
    }

    console_save_options();
    scanOptions(words[1]);
    line_speed_update();

    char* const* files = words + 2;
    const int fileCount = count - 2;
    if (opt.receive && opt.send) return fatal("XMODEM Fatal Error- Both Send and Receive Functions Specified");
    if (opt.modem7_batch && (opt.ymodem_batch || opt.ymodem_g))
        return fatal("XMODEM Fatal Error - Both YMODEM and MODEM7 Batch Protocols Specified");
    if (!opt.receive && !opt.send) return fatal("XMODEM Fatal Error - Either Send or Receive Function must be chosen!");
    if (opt.send && fileCount == 0) return fatal("XMODEM Fatal Error - No file specified to send");

    if (opt.receive) return receiveCommand(files, fileCount);
    if (opt.ymodem_batch || opt.modem7_batch) return batchSendCommand(files, fileCount);
    return singleSendCommand(files[0]);
}
