// logReaders.h - one run of the log readers over an arbitrary file: the event
// log store and its text rendering, the text log dump and "persist.txt". Used
// by the libFuzzer target and by the random-input unit test. Expects the
// platform started, the current directory "/DskVol/files" (host directory
// filesDir) and the flash access lock created.
#pragma once

#include "log/eventLog.h"
#include "log/log.h"
#include "osapi.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

inline void logReadersPut(const std::string& filesDir, const char* name, const uint8_t* data, size_t size)
{
    std::ofstream(filesDir + "/" + name, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), std::streamsize(size));
}

inline void logReadersRun(const std::string& filesDir, const uint8_t* data, size_t size)
{
    // The store as start-up opens it, with the file as given; and in mode off.
    for (int mode : {5, EVENT_LOG_MODE_OFF}) {
        logReadersPut(filesDir, "log2.bin", data, size);
        eventLogOpen(EVENT_LOG_BOOT_SIZE, nullptr, mode, 2, 7);
        eventLogToAscii();
    }
    // The renderer over the raw bytes, which need not be a valid log.
    eventLogOpen(EVENT_LOG_BOOT_SIZE, nullptr, 5, 2, 7);
    std::vector<uint8_t> buf(EVENT_LOG_BOOT_SIZE, 0xFF);
    std::memcpy(buf.data(), data, size < buf.size() ? size : buf.size());
    char text[EVENT_LOG_TEXT_LEN];
    text[0] = '\0';
    int32_t cursor = eventLogFormat(buf.data(), EVENT_LOG_NONE, text);
    for (uint32_t shown = 0; cursor != EVENT_LOG_NONE; ++shown) {
        if (shown > eventLogSlotCount() || std::strlen(text) >= EVENT_LOG_TEXT_LEN) __builtin_trap();
        text[0] = '\0';
        cursor = eventLogFormat(buf.data(), cursor, text);
    }

    // The text logs: every generation, then "persist.txt".
    for (const char* name : {"slog0.txt", "olog0.txt", "slog1.txt", "olog2.txt", "persist.txt"})
        logReadersPut(filesDir, name, data, size);
    logDump("dump.txt");
    persistPrint();
    if (persistInit() == 0) persistWrite("<fuzz>", 6);
    std::ifstream persist(filesDir + "/persist.txt", std::ios::binary | std::ios::ate);
    uint64_t limit = size > 32u * LOG_SLOT_SIZE ? size : 32u * LOG_SLOT_SIZE;
    if (uint64_t(persist.tellg()) > limit) __builtin_trap(); // the ring never grows past its slots
}
