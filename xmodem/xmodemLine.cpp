/*
 * xmodemLine.cpp - the transfer's line primitives: timed reads from the
 * console, writes to it, input flushes, raw mode and its undoing, the line
 * speed, fatal errors, sector labels and the time summaries.
 */
#include "xmodem/xmodemInt.h"

#include "osapi.h"

#include <cstdarg>
#include <cstring>

int32_t line_speed = 9600;

namespace xm {

namespace {

int saved_console_options = 0;
vx::SigHandler saved_term_handler = vx::SIG_DEFAULT;
bool term_handler_installed = false;
/* From enter_raw_mode to end_transfer: the line stays raw even after a fatal
 * error, so that a peer still sending never meets the line discipline (its
 * echo, X-off or reboot trap) and nothing it sends is read as typing. */
bool in_transfer = false;
bool peer_cancelled = false; /* the cancel went out in this transfer */

constexpr int32_t kDefaultSpeed = 9600;
/* wait_line_clear and end_transfer give up on a line that never falls silent. */
constexpr uint32_t kLineClearLimitSec = 60;
/* The end of a transfer: the line counts as quiet after a second without a
 * byte, and never before the pause that follows every transfer is over. */
constexpr uint32_t kQuietMs = 1000;
constexpr uint32_t kEndPauseMs = 5000;
/* CAN bytes that tell a peer to stop (a second one in a row cancels); sent
 * again, at most this often, to a peer that goes on after them. */
constexpr int kCancelCount = 5;
constexpr uint32_t kCancelAgainMs = 1000;

/* Written past the transfer's own write checks: a line that is gone, or the
 * kill signal, must not stop the cancel. */
void cancelPeer()
{
    uint8_t cans[kCancelCount];
    std::memset(cans, CAN, sizeof cans);
    vx::write(vx::STD_OUT, cans, sizeof cans);
    peer_cancelled = true;
}

uint32_t ticksFor(uint32_t ms) { return (ms * uint32_t(vx::sysClkRateGet()) + 999) / 1000; }

void onKill(int)
{
    transfer_killed = true;
    fatal_error("Kill signal; bailing out", true);
}

} // namespace

volatile bool transfer_killed = false;

void progress(const char* fmt, ...)
{
    if (!opt.progress_messages) return;
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vx::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    vx::printErr("%s", text);
}

int readbyte(int seconds)
{
    if (transfer_killed) return TIMEOUT;
    /* A failed wait or read (console gone, end of input) counts as a timeout:
     * never a stale byte. */
    if (vx::selectStdin(seconds, 0) <= 0) return TIMEOUT;
    uint8_t c = 0;
    if (vx::read(vx::STD_IN, &c, 1) != 1) return TIMEOUT;
    return c;
}

int readbuf(int count, int seconds, bool text, bool apple, uint16_t* check, int* kept)
{
    static uint8_t raw[BLOCK_MAX];
    RxBlockState st{opt.crc_mode, text, apple, false, 0};
    int keptCount = 0;
    int remaining = count > BLOCK_MAX ? BLOCK_MAX : count;
    while (remaining > 0) {
        if (transfer_killed) return -1;
        if (vx::selectStdin(seconds, 0) <= 0) return -1;
        int32_t n = vx::read(vx::STD_IN, raw, size_t(remaining));
        if (n <= 0) return -1; /* end of input or a read error: the block is lost */
        if (n > remaining) n = remaining;
        rx_accept(st, raw, n, block_buffer, &keptCount);
        remaining -= n;
    }
    *check = st.check;
    *kept = keptCount;
    return 0;
}

void sendbyte(int c)
{
    uint8_t b = uint8_t(c);
    writebuf(&b, 1);
}

void writebuf(const void* buf, size_t len)
{
    if (transfer_killed) return;
    if (vx::write(vx::STD_OUT, buf, len) != int32_t(len)) fatal_error("Write error on stream", true);
}

void send_cans(int count)
{
    uint8_t cans[8];
    if (count > 8) count = 8;
    std::memset(cans, CAN, sizeof cans);
    writebuf(cans, size_t(count));
}

int flush_input() { return vx::ioctl(vx::STD_IN, vx::FIORFLUSH, 0); }

void wait_line_clear()
{
    flush_input();
    const uint32_t start = vx::tickGet();
    const uint32_t limit = kLineClearLimitSec * uint32_t(vx::sysClkRateGet());
    while (readbyte(1) != TIMEOUT) {
        if (vx::tickGet() - start > limit) break;
    }
}

bool line_quiet(int ms)
{
    if (transfer_killed) return true;
    return vx::selectStdin(ms / 1000, (ms % 1000) * 1000) == 0;
}

void enter_raw_mode()
{
    vx::ioctl(vx::STD_IN, vx::FIOSETOPTIONS, vx::OPT_RAW);
    if (vx::ioctl(vx::STD_IN, vx::FIOFLUSH, 0) != 0) progress("Can't flush terminal queue\n");
    transfer_killed = false;
    in_transfer = true;
    peer_cancelled = false;
    saved_term_handler = vx::signal(vx::SIG_TERM, onKill);
    term_handler_installed = true;
}

void end_transfer(bool failed)
{
    static uint8_t junk[64];
    if (failed && !peer_cancelled) cancelPeer();
    const uint32_t start = vx::tickGet();
    const uint32_t limit = ticksFor(kLineClearLimitSec * 1000);
    uint32_t lastByte = 0;     /* ticks after start */
    uint32_t lastCancel = 0;
    for (;;) {
        const uint32_t now = vx::tickGet() - start;
        uint32_t until = lastByte + ticksFor(kQuietMs);
        if (until < ticksFor(kEndPauseMs)) until = ticksFor(kEndPauseMs);
        if (now >= until || now >= limit) break;
        const uint32_t ms = (until - now) * 1000 / uint32_t(vx::sysClkRateGet());
        /* Read directly: readbyte gives nothing once the kill signal came. */
        const int ready = vx::selectStdin(int32_t(ms / 1000), int32_t((ms % 1000) * 1000));
        if (ready < 0) break; /* the line is gone, or the signal came again */
        if (ready == 0) continue;
        const int32_t n = vx::read(vx::STD_IN, junk, sizeof junk);
        if (n <= 0) break;
        lastByte = vx::tickGet() - start;
        /* A sender that did not hear the answer to its EOT asks again; anything
         * else after the end, or after a failure, is a peer to be stopped. */
        if (!failed && n == 1 && junk[0] == EOT) {
            uint8_t ack = ACK;
            vx::write(vx::STD_OUT, &ack, 1);
        } else if (!peer_cancelled || lastByte - lastCancel >= ticksFor(kCancelAgainMs)) {
            cancelPeer();
            lastCancel = lastByte;
        }
    }
    in_transfer = false;
    restore_console(true);
    flush_input();
}

void console_save_options()
{
    in_transfer = false; /* a call cut short (a reset) left no transfer behind */
    saved_console_options = vx::ioctl(vx::STD_IN, vx::FIOGETOPTIONS, 0);
    vx::ioctl(vx::STD_IN, vx::FIOSETOPTIONS, saved_console_options & ~vx::OPT_MON_TRAP);
}

void restore_console(bool reporting)
{
    if (vx::ioctl(vx::STD_IN, vx::FIOSETOPTIONS, saved_console_options) != 0) {
        if (reporting)
            vx::printf("RESET - Can't restore normal TTY Params\n\r");
        else
            fatal_error("RESET - Can't restore normal TTY Params", false);
    }
    if (term_handler_installed) {
        term_handler_installed = false;
        vx::signal(vx::SIG_TERM, saved_term_handler);
    }
}

void fatal_error(const char* text, bool restore)
{
    /* A failing transfer stops its peer before it says why, so that the
     * text never reaches a peer still waiting for an answer; the console is
     * restored by end_transfer, once the line is quiet. */
    if (in_transfer && !peer_cancelled) cancelPeer();
    if (restore && !in_transfer) restore_console(true);
    vx::printf("\r\n%s\n\r", text);
}

void line_speed_update()
{
    line_speed = -1;
    vx::ioctl(vx::STD_IN, vx::SIO_BAUD_GET, reinterpret_cast<intptr_t>(&line_speed));
    /* Pauses and estimates divide by it: anything not a speed means the default. */
    if (line_speed <= 0) line_speed = kDefaultSpeed;
}

void pause_ms(uint32_t ms)
{
    vx::TimeSpec req{int32_t(ms / 1000), int32_t((ms % 1000) * 1000000)};
    vx::TimeSpec rem{0, 0};
    while (vx::nanosleep(&req, &rem) != 0 && (rem.tv_sec > 0 || rem.tv_nsec > 0)) req = rem;
}

const char* sector_label(int32_t count, int blockSize, bool next)
{
    static char label[32];
    int32_t n = count;
    if (next) n += blockSize == 1024 ? 8 : 1;
    if (blockSize == 1024 && n > 0)
        vx::snprintf(label, sizeof label, "%d-%d", int(n - 7), int(n));
    else
        vx::snprintf(label, sizeof label, "%d", int(n));
    return label;
}

namespace {

void printOn(bool toErr, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void printOn(bool toErr, const char* fmt, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vx::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (toErr)
        vx::printErr("%s", text);
    else
        vx::printf("%s", text);
}

void printDuration(int32_t t, bool toErr)
{
    static const char* const units[3] = {"hour", "minute", "second"};
    const int32_t parts[3] = {(t / 3600) % 24, (t / 60) % 60, t % 60};
    for (int i = 0; i < 3; ++i)
        if (parts[i] != 0) printOn(toErr, "%d %s%c ", int(parts[i]), units[i], parts[i] == 1 ? ' ' : 's');
}

} // namespace

void print_time_estimate(int32_t sectors, bool toErr)
{
    if (sectors == 0) return;
    int32_t t = int32_t(int64_t(sectors) * 1422 / line_speed + 1);
    printOn(toErr, "Estimated transmission time ");
    printDuration(t, toErr);
    printOn(toErr, "\n\r");
}

void print_transfer_stats(int32_t sectors, int32_t seconds, bool toErr)
{
    if (sectors == 0) return;
    if (seconds < 0) seconds = 0;
    int32_t rate = seconds == 0 ? 0 : int32_t(int64_t(sectors) * 128 / seconds);
    printOn(toErr, "%ld Sectors Transfered in ", long(sectors));
    if (rate == 0) {
        printOn(toErr, "0 seconds");
        printOn(toErr, "\n\r");
        return;
    }
    printDuration(seconds, toErr);
    printOn(toErr, "\n\r");
    printOn(toErr, "Transfer Rate = %d Characters per Second\n\r", int(rate));
}

int32_t countnl(int fd)
{
    uint8_t buf[1024];
    int32_t count = 0;
    for (;;) {
        int32_t n = vx::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        for (int32_t i = 0; i < n; ++i)
            if (buf[i] == '\n') ++count;
    }
    vx::lseek(fd, 0, vx::SEEK_FROM_START);
    return count;
}

} // namespace xm
