// search.h - what the seeded searches share: numbers from the environment
// (TARN_SEED and run lengths), input shown with its bytes escaped, and a
// report of the failing input printed before a crash or a sanitizer ends the
// process.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Present in sanitizer builds only: the report hook runs before the sanitizer ends the process.
extern "C" void __sanitizer_set_death_callback(void (*)()) __attribute__((weak));

namespace search {

inline uint64_t env(const char* name, uint64_t otherwise)
{
    const char* v = std::getenv(name);
    return v ? std::strtoull(v, nullptr, 0) : otherwise;
}

// Printable bytes as they are, CR as "\r" and a line break, others as \xNN.
inline std::string printable(const std::string& s)
{
    std::string out;
    char b[8];
    for (unsigned char c : s)
        out += c == '\r'              ? "\\r\n"
               : c >= 32 && c < 127 ? std::string(1, char(c))
                                    : (std::snprintf(b, 8, "\\x%02x", c), b);
    return out;
}

inline void (*crashReport)() = nullptr;

extern "C" inline void searchOnFatalSignal(int sig)
{
    if (crashReport) crashReport();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Runs report before the process dies of a crash or a sanitizer finding.
inline void reportCrashesWith(void (*report)())
{
    crashReport = report;
    for (int sig : {SIGILL, SIGTRAP, SIGSEGV, SIGABRT}) std::signal(sig, searchOnFatalSignal);
    if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(report);
}

} // namespace search
