// console/console.cpp - the console instance behind descriptors 0-2 and the console
// services of the boundary (formatted output, line input, readiness, requests).
#include "host/os/console/console.h"
#include "host/os/console/scripted.h"
#include "host/os/console/stream.h"
#include "host/os/hostos.h"
#include "osapi.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace host {
namespace {

// The one console of the board. Callers hold a reference for the length of a
// call, so a shutdown never pulls the device from under a waiting reader.
class ConsoleSlot {
public:
    std::shared_ptr<TtyDevice> get()
    {
        std::lock_guard<std::mutex> g(mu_);
        return dev_;
    }
    void replace(std::shared_ptr<TtyDevice> dev)
    {
        std::shared_ptr<TtyDevice> old;
        {
            std::lock_guard<std::mutex> g(mu_);
            old = std::exchange(dev_, std::move(dev));
        }
        if (old) old->close();
    }

private:
    std::mutex mu_;
    std::shared_ptr<TtyDevice> dev_;
};

ConsoleSlot& theConsole()
{
    static ConsoleSlot slot;
    return slot;
}

} // namespace

std::shared_ptr<TtyDevice> consoleDevice() { return theConsole().get(); }

void consoleInitStream(int fd, const ConsoleOptions& opts)
{
    theConsole().replace(std::make_shared<StreamTty>(fd, opts));
}

void consoleInitScripted(ScriptedPeer* peer)
{
    theConsole().replace(peer ? std::make_shared<ScriptedTty>(peer) : nullptr);
}

void consoleShutdown() { theConsole().replace(nullptr); }

// Without a console, output goes nowhere and input is an error (never a wait).
int32_t consoleRead(void* buf, size_t n)
{
    auto c = consoleDevice();
    return c ? c->read(buf, n, false) : -1;
}

int32_t consoleWrite(const void* buf, size_t n)
{
    if (!buf) return -1;
    auto c = consoleDevice();
    return c ? c->write(buf, n) : int32_t(n);
}

} // namespace host

namespace vx {

namespace {

// Formats without a length limit and writes the text to the console.
int formatToConsole(const char* fmt, va_list ap)
{
    if (!fmt) return -1;
    char small[512];
    va_list again;
    va_copy(again, ap);
    int len = std::vsnprintf(small, sizeof small, fmt, ap);
    if (len < 0) {
        va_end(again);
        return -1;
    }
    if (size_t(len) < sizeof small) {
        va_end(again);
        host::consoleWrite(small, size_t(len));
        return len;
    }
    std::vector<char> big(size_t(len) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, again);
    va_end(again);
    host::consoleWrite(big.data(), size_t(len));
    return len;
}

} // namespace

int printf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = formatToConsole(fmt, ap);
    va_end(ap);
    return r;
}

int vprintf(const char* fmt, va_list ap) { return formatToConsole(fmt, ap); }

// Standard error is the console too.
int printErr(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = formatToConsole(fmt, ap);
    va_end(ap);
    return r;
}

int snprintf(char* buf, size_t size, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = vx::vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return r;
}

int vsnprintf(char* buf, size_t size, const char* fmt, va_list ap)
{
    if (!fmt || (!buf && size > 0)) return -1;
    return std::vsnprintf(buf, size, fmt, ap);
}

// Output is handed to the stream as it is written: nothing stays buffered.
void fflushStdout() {}

char* fgetsStdin(char* buf, int size)
{
    if (!buf || size <= 0) return nullptr;
    auto c = host::consoleDevice();
    size_t len = 0, max = size_t(size) - 1;
    while (c && len < max) {
        int32_t r = c->read(buf + len, max - len, true);
        if (r <= 0) break; // end of input or error
        len += size_t(r);
        if (buf[len - 1] == '\n') break;
    }
    buf[len] = '\0';
    if (len == 0 && max > 0) return nullptr;
    return buf;
}

int selectStdin(int32_t seconds, int32_t microseconds)
{
    auto c = host::consoleDevice();
    if (!c) return -1;
    int64_t timeoutNs = -1;
    if (seconds >= 0 && microseconds >= 0)
        timeoutNs = int64_t(seconds) * 1'000'000'000 + int64_t(microseconds) * 1000;
    // A signal raised for the task is delivered here, outside the console's lock;
    // one that arrives during the wait ends it (-1, as an interrupted select).
    host::signalPoll();
    int r = c->select(timeoutNs);
    if (r < 0) host::signalPoll();
    return r;
}

int ioctl(int fd, int request, intptr_t arg)
{
    auto c = host::consoleDevice();
    if (!c || fd < STD_IN || fd > STD_ERR) return -1;
    return c->ioctl(request, arg);
}

} // namespace vx
