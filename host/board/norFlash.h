// norFlash.h - the boot flash: a 32 MiB CFI NOR device with the AMD command
// set on a 16-bit bus at 0xFE000000 (a part of the S29GL256 class).
//
// One erase region of 256 uniform 128 KiB sectors and a 64-byte write buffer,
// as its query table says. Commands are 16-bit writes decoded on word
// addresses (0x555 and 0x2AA are byte offsets 0xAAA and 0x554); a write out of
// sequence returns the device to read-array, but the query and autoselect
// modes ignore every write except the reset command (0xF0; 0x98 at 0x55 also
// moves autoselect to query). Programming can only clear bits. While a
// program or erase runs, every read of the device returns status, not data.
//
// Time. Program and erase last their typical time from the query table (word
// and buffer program 64 us, sector erase 512 ms, chip erase 131 s) on the
// board clock; the real binary divides these by 100 (modelChipNs), so a
// first-boot format takes about a second and a boot code update a fraction of
// one. An operation that cannot complete (bits to be set, or an injected
// failure) shows DQ5 at the table's maximum time (8x, 32x, 8x and 4x the
// typical). Under the virtual clock a bus access costs no time, a status
// read while the device is busy or failed (one poll) costs kPollNs = 50 us,
// and a zero-tick delay costs nothing (the host clock's rule): a polling
// driver sees a word or a buffer finish at its 2nd poll and a sector erase at
// its 10,240th, far inside its limit of 16,777,216; a driver that waits sees
// the operation finish once its delay has covered the time.
//
// A power cut injected during an operation (the Nth since power-on) falls at
// a fraction of its time that a hash of N gives (or the one set): each bit the
// operation changes has changed or not by a fixed per-bit draw, so a program
// leaves some of its zeros cleared and an erase some of its ones set, and
// that torn state is what nor.bin keeps. The contents live in a NorStore.
#pragma once

#include "host/board/bus.h"
#include "host/board/norStore.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace host {

class NorFlash : public BusDevice {
public:
    static constexpr uint32_t kBase = 0xFE000000u;
    static constexpr uint32_t kSize = NorStore::kSize;
    static constexpr uint32_t kSectorSize = 128u << 10;
    static constexpr uint32_t kSectors = kSize / kSectorSize;
    static constexpr uint32_t kBufferBytes = 64;
    static constexpr uint32_t kBufferWords = kBufferBytes / 2;

    // Identification (autoselect words 0, 1, 0x0E, 0x0F; query mode words 0, 1).
    static constexpr uint16_t kManufacturerId = 0x0001;
    static constexpr uint16_t kDeviceId = 0x227E;
    static constexpr uint16_t kDeviceId2 = 0x2222;
    static constexpr uint16_t kDeviceId3 = 0x2201;

    // Command cycles: word addresses (A10..A0 decoded) and data.
    static constexpr uint32_t kCmdAddr1 = 0x555;
    static constexpr uint32_t kCmdAddr2 = 0x2AA;
    static constexpr uint32_t kQueryAddr = 0x55;
    static constexpr uint16_t kUnlock1 = 0xAA;
    static constexpr uint16_t kUnlock2 = 0x55;
    static constexpr uint16_t kReset = 0xF0;
    static constexpr uint16_t kAutoselect = 0x90;
    static constexpr uint16_t kQuery = 0x98;
    static constexpr uint16_t kWordProgram = 0xA0;
    static constexpr uint16_t kBufferLoad = 0x25;
    static constexpr uint16_t kBufferConfirm = 0x29;
    static constexpr uint16_t kEraseSetup = 0x80;
    static constexpr uint16_t kSectorErase = 0x30;
    static constexpr uint16_t kChipErase = 0x10;

    // Status bits (low byte of a status read).
    static constexpr uint16_t kDq7Polling = 0x80;
    static constexpr uint16_t kDq6Toggle = 0x40;
    static constexpr uint16_t kDq5Exceeded = 0x20;
    static constexpr uint16_t kDq3EraseStarted = 0x08;
    static constexpr uint16_t kDq2EraseToggle = 0x04;
    static constexpr uint16_t kDq1BufferAbort = 0x02;

    // Virtual time of one poll (see above): a flash status read is the
    // driver's read and its zero-tick delay, slower than an I2C register poll.
    static constexpr uint64_t kPollNs = 50'000;

    // Fail: the cells refuse the change, DQ5 at the maximum time; Hang: never
    // ends; Race: completes at the maximum time, in the very read that first
    // shows DQ5 (the datasheet's reason to read DQ7 again after DQ5).
    enum class Fault { None, Fail, Hang, Race };
    struct Faults {
        uint64_t powerCutAfterOps = 0; // cut the power during this operation (0: never)
        double cutFraction = -1;       // how far it got (0..1; below 0: from a hash of N)
        Fault program = Fault::None;
        Fault erase = Fault::None;
        std::function<bool(uint64_t n)> onOperation; // tests: at the start of operation n; true cuts there
    };
    struct Counters {
        uint64_t reads = 0, writes = 0;  // bus cycles (16-bit)
        uint64_t statusReads = 0;
        uint64_t wordPrograms = 0, bufferPrograms = 0, sectorErases = 0, chipErases = 0;
        uint64_t operations() const { return wordPrograms + bufferPrograms + sectorErases + chipErases; }
    };

    NorFlash() { patches_.fill(-1); }

    // Power-on: read-array mode, no faults, counters at 0, the contents taken
    // from nor.bin at path ("" = volatile). Returns "" or what is wrong with the file.
    std::string powerOn(const std::string& path);
    void setFaults(const Faults& f) { faults_ = f; }
    const Faults& faults() const { return faults_; }
    Counters& counters() { return counters_; }
    NorStore& store() { return store_; }
    // Why the board cannot start from the boot region ("" when it can): the
    // reset vector word is erased, or an update of the region is unfinished
    // (from the first erase of a boot-region sector until the reset-vector
    // word, the last one written, is programmed).
    std::string deadReason() const;
    bool bootCodePresent() const { return deadReason().empty(); }
    // Typical and maximum times of an operation (from the query table).
    static uint64_t typicalNs(bool erase, bool buffer, bool chip);
    static uint64_t maximumNs(bool erase, bool buffer, bool chip);

    bool read(uint32_t offset, int width, uint32_t& value) override;
    bool write(uint32_t offset, int width, uint32_t value) override;

    // The query table of this part, word address -> value (words 0x10 .. 0x4F).
    static uint16_t queryWord(uint32_t wordAddr);
    // Tests: a device whose query table says otherwise (until power-on).
    void patchQuery(uint32_t wordAddr, uint8_t value) { patches_[wordAddr & 0xFF] = int16_t(value); }

private:
    enum class Mode {
        ReadArray, Unlock1, Unlock2,
        Autoselect, Query,
        WordProgram,
        BufferCount, BufferLoad, BufferConfirm,
        EraseSetup, EraseUnlock1, EraseUnlock2,
        Busy, Failed,
        BufferAbort, AbortUnlock1, AbortUnlock2,
    };
    enum class Op { None, Program, Erase };
    struct State {
        Mode mode = Mode::ReadArray;
        Op op = Op::None;
        Fault outcome = Fault::None; // how the running operation ends
        uint64_t doneNs = 0;         // board time it completes (Fault::None)
        uint64_t limitNs = 0;        // board time it exceeds its maximum
        uint16_t pollData = 0;       // data whose DQ7 complement shows while busy
        uint32_t first = 0, end = 0; // byte range the operation changes
        bool toggle = false;
        // Write buffer
        uint32_t bufSector = 0;
        uint32_t bufPage = 0;
        bool bufPageSet = false;
        uint32_t bufCount = 0, bufLoaded = 0;
        std::array<uint16_t, kBufferWords> bufData{};
        std::array<bool, kBufferWords> bufUsed{};
    };

    uint16_t readWord(uint32_t offset);
    uint16_t status(uint32_t offset);
    bool settle(uint32_t offset, uint16_t& raceStatus);
    void writeWord(uint32_t offset, uint16_t value);
    void commandCycle(uint32_t offset, uint16_t value);
    void bufferCycle(uint32_t offset, uint16_t value);
    void startProgram(uint32_t offset, const uint16_t* words, const bool* used, uint32_t count, bool buffer);
    void startErase(uint32_t first, uint32_t len, bool chip);
    void startBusy(Op op, uint64_t typNs, uint64_t maxNs, Fault fault, bool cannot);
    void abortBuffer();
    void finish();
    void tear(double fraction);

    State st_;
    std::vector<uint8_t> target_; // the contents the running operation leaves
    std::array<int16_t, 256> patches_{}; // -1: as the part's table
    Faults faults_;
    Counters counters_;
    NorStore store_;
};

} // namespace host
