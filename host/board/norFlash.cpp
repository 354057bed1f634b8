// norFlash.cpp - command decoding, programming, erasing and status polling
// of the boot flash model.
#include "host/board/norFlash.h"

#include "host/board/modelTime.h"
#include "host/os/hostos.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace host {
namespace {

// Query table from word 0x10 (low bytes; the high byte reads 0).
constexpr uint8_t kQueryTable[0x40] = {
    0x51, 0x52, 0x59,       // 0x10 "QRY"
    0x02, 0x00,             // 0x13 primary command set: AMD/Fujitsu standard
    0x40, 0x00,             // 0x15 primary extended table at word 0x40
    0x00, 0x00, 0x00, 0x00, // 0x17 no alternate command set
    0x27, 0x36, 0x00, 0x00, // 0x1B Vcc 2.7-3.6 V, no Vpp
    0x06,                   // 0x1F typical word program 2^6 us
    0x06,                   // 0x20 typical buffer program 2^6 us
    0x09,                   // 0x21 typical sector erase 2^9 ms
    0x11,                   // 0x22 typical chip erase 2^17 ms
    0x03, 0x05, 0x03, 0x02, // 0x23 maxima as multiples of the typical times
    0x19,                   // 0x27 device size 2^25 bytes (32 MiB)
    0x02, 0x00,             // 0x28 interface: x8/x16
    0x06, 0x00,             // 0x2A write buffer 2^6 bytes
    0x01,                   // 0x2C one erase region:
    0xFF, 0x00, 0x00, 0x02, // 0x2D 256 sectors of 0x200 * 256 bytes
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // 0x31 regions 2-4: none
    0, 0, 0,                // 0x3D
    0x50, 0x52, 0x49,       // 0x40 "PRI"
    0x31, 0x33,             // 0x43 version 1.3
    0x10,                   // 0x45 address-sensitive unlock
    0x02,                   // 0x46 erase suspend: read and write
    0x01,                   // 0x47 sector protection
    0x00,                   // 0x48 no temporary unprotect
    0x08,                   // 0x49 protection scheme
    0x00,                   // 0x4A no simultaneous operation
    0x00,                   // 0x4B no burst mode
    0x02,                   // 0x4C 8-word page mode
    0xB5, 0xC5,             // 0x4D acceleration supply 11.5-12.5 V
    0x05,                   // 0x4F uniform sectors, top write protect
};

uint64_t mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Query table words 0x1F..0x26: typical times and maxima as exponents.
constexpr uint32_t kTypWord = 0x1F, kTypBuffer = 0x20, kTypErase = 0x21, kTypChip = 0x22;
constexpr uint32_t kMaxOffset = 4; // 0x23..0x26 hold the maxima in the same order

uint32_t timeWord(bool erase, bool buffer, bool chip)
{
    return chip ? kTypChip : erase ? kTypErase : buffer ? kTypBuffer : kTypWord;
}

} // namespace

uint64_t NorFlash::typicalNs(bool erase, bool buffer, bool chip)
{
    const uint64_t unit = erase ? 1'000'000 : 1'000; // erase times in ms, program times in us
    return unit << queryWord(timeWord(erase, buffer, chip));
}

uint64_t NorFlash::maximumNs(bool erase, bool buffer, bool chip)
{
    return typicalNs(erase, buffer, chip) << queryWord(timeWord(erase, buffer, chip) + kMaxOffset);
}

uint16_t NorFlash::queryWord(uint32_t wordAddr)
{
    if (wordAddr == 0) return kManufacturerId;
    if (wordAddr == 1) return kDeviceId;
    if (wordAddr >= 0x10 && wordAddr < 0x10 + sizeof kQueryTable) return kQueryTable[wordAddr - 0x10];
    return 0;
}

std::string NorFlash::powerOn(const std::string& path)
{
    st_ = State{};
    target_.clear();
    counters_ = Counters{};
    faults_ = Faults{};
    patches_.fill(-1);
    return store_.open(path);
}

std::string NorFlash::deadReason() const
{
    if (store_.bootUpdatePending())
        return "an update of the boot region is unfinished (erased, the reset vector word at 0xFFFFFFFC not "
               "yet programmed)";
    const uint8_t* p = store_.data() + NorStore::kResetVector;
    if (p[0] == 0xFF && p[1] == 0xFF && p[2] == 0xFF && p[3] == 0xFF)
        return "the boot flash holds no boot code (reset vector at 0xFFFFFFFC erased)";
    return "";
}

bool NorFlash::read(uint32_t offset, int width, uint32_t& value)
{
    if (offset >= kSize) return false;
    if (width == 2) {
        value = readWord(offset);
    } else if (width == 4) {
        uint32_t hi = readWord(offset);
        value = hi << 16 | readWord(offset + 2);
    } else {
        uint16_t w = readWord(offset & ~1u);
        value = (offset & 1) ? (w & 0xFFu) : uint32_t(w >> 8);
    }
    return true;
}

bool NorFlash::write(uint32_t offset, int width, uint32_t value)
{
    // The device has a 16-bit data bus: a 32-bit store is two bus cycles; a
    // byte store has no meaning to it.
    if (offset >= kSize || width == 1) return false;
    if (width == 4) {
        writeWord(offset, uint16_t(value >> 16));
        writeWord(offset + 2, uint16_t(value));
    } else {
        writeWord(offset, uint16_t(value));
    }
    return true;
}

uint16_t NorFlash::status(uint32_t offset)
{
    counters_.statusReads++;
    st_.toggle = !st_.toggle;
    uint16_t s = st_.toggle ? kDq6Toggle : 0;
    if (st_.op == Op::Erase) {
        s |= kDq3EraseStarted; // DQ7 reads 0 until the sector is erased
        if (st_.toggle && offset >= st_.first && offset < st_.end) s |= kDq2EraseToggle;
    } else {
        s |= uint16_t(~st_.pollData & kDq7Polling);
    }
    if (st_.mode == Mode::Failed) s |= kDq5Exceeded;
    if (st_.mode == Mode::BufferAbort || st_.mode == Mode::AbortUnlock1 || st_.mode == Mode::AbortUnlock2)
        s |= kDq1BufferAbort;
    return s;
}

// Ends the running operation when the board clock has reached its end: done,
// or failed with DQ5 at its maximum time. Returns true when this access is the
// injected race's: DQ5 shows (in raceStatus) in the same read that completes it.
bool NorFlash::settle(uint32_t offset, uint16_t& raceStatus)
{
    if (st_.mode != Mode::Busy) return false;
    const uint64_t now = clockNowNs();
    switch (st_.outcome) {
    case Fault::None:
        if (now >= st_.doneNs) finish();
        return false;
    case Fault::Fail:
        if (now < st_.limitNs) return false;
        if (!target_.empty()) store_.store(st_.first, target_.data(), uint32_t(target_.size()));
        st_.mode = Mode::Failed;
        return false;
    case Fault::Race:
        if (now < st_.limitNs) return false;
        st_.mode = Mode::Failed;
        raceStatus = status(offset);
        finish();
        return true;
    case Fault::Hang:
        return false;
    }
    return false;
}

uint16_t NorFlash::readWord(uint32_t offset)
{
    counters_.reads++;
    const uint32_t wa = (offset >> 1) & 0xFF;
    // One poll of a busy or failed device costs its time on the virtual clock.
    if (st_.mode == Mode::Busy || st_.mode == Mode::Failed) clockAdvanceNs(kPollNs);
    uint16_t race = 0;
    if (settle(offset, race)) return race;
    switch (st_.mode) {
    case Mode::Busy:
    case Mode::Failed:
    case Mode::BufferAbort:
    case Mode::AbortUnlock1:
    case Mode::AbortUnlock2:
        return status(offset);
    case Mode::Autoselect:
        switch (wa) {
        case 0x00: return kManufacturerId;
        case 0x01: return kDeviceId;
        case 0x0E: return kDeviceId2;
        case 0x0F: return kDeviceId3;
        default: return 0; // 0x02: sector not protected
        }
    case Mode::Query:
        return patches_[wa] >= 0 ? uint16_t(patches_[wa]) : queryWord(wa);
    default:
        return store_.word(offset);
    }
}

void NorFlash::writeWord(uint32_t offset, uint16_t value)
{
    counters_.writes++;
    const uint32_t wa = (offset >> 1) & 0x7FF;
    const uint8_t cmd = uint8_t(value); // commands are on DQ7-DQ0
    uint16_t race = 0;
    settle(offset, race);
    switch (st_.mode) {
    case Mode::Busy:
        return; // the embedded algorithm ignores the bus until it ends
    case Mode::Failed:
        if (cmd == kReset) st_ = State{};
        return;
    case Mode::BufferAbort:
        if (cmd == kUnlock1 && wa == kCmdAddr1) st_.mode = Mode::AbortUnlock1;
        return;
    case Mode::AbortUnlock1:
        st_.mode = (cmd == kUnlock2 && wa == kCmdAddr2) ? Mode::AbortUnlock2 : Mode::BufferAbort;
        return;
    case Mode::AbortUnlock2:
        if (cmd == kReset && wa == kCmdAddr1)
            st_ = State{};
        else
            st_.mode = Mode::BufferAbort;
        return;
    case Mode::WordProgram:
        counters_.wordPrograms++;
        startProgram(offset, &value, nullptr, 1, false);
        return;
    case Mode::BufferCount:
    case Mode::BufferLoad:
    case Mode::BufferConfirm:
        bufferCycle(offset, value);
        return;
    case Mode::Query:
        // Only the reset command leaves the query mode.
        if (cmd == kReset) st_.mode = Mode::ReadArray;
        return;
    case Mode::Autoselect:
        if (cmd == kReset)
            st_.mode = Mode::ReadArray;
        else if (cmd == kQuery && wa == kQueryAddr)
            st_.mode = Mode::Query;
        return;
    case Mode::ReadArray:
        if (cmd == kQuery && wa == kQueryAddr)
            st_.mode = Mode::Query;
        else if (cmd == kUnlock1 && wa == kCmdAddr1)
            st_.mode = Mode::Unlock1;
        return; // the reset, or anything out of order
    case Mode::Unlock1:
        st_.mode = (cmd == kUnlock2 && wa == kCmdAddr2) ? Mode::Unlock2 : Mode::ReadArray;
        return;
    case Mode::Unlock2:
        if (cmd == kBufferLoad) {
            st_.mode = Mode::BufferCount;
            st_.bufSector = offset / kSectorSize;
        } else if (wa == kCmdAddr1 && cmd == kWordProgram) {
            st_.mode = Mode::WordProgram;
        } else if (wa == kCmdAddr1 && cmd == kAutoselect) {
            st_.mode = Mode::Autoselect;
        } else if (wa == kCmdAddr1 && cmd == kEraseSetup) {
            st_.mode = Mode::EraseSetup;
        } else {
            st_.mode = Mode::ReadArray;
        }
        return;
    case Mode::EraseSetup:
        st_.mode = (cmd == kUnlock1 && wa == kCmdAddr1) ? Mode::EraseUnlock1 : Mode::ReadArray;
        return;
    case Mode::EraseUnlock1:
        st_.mode = (cmd == kUnlock2 && wa == kCmdAddr2) ? Mode::EraseUnlock2 : Mode::ReadArray;
        return;
    case Mode::EraseUnlock2:
        if (cmd == kSectorErase) {
            counters_.sectorErases++;
            startErase(offset / kSectorSize * kSectorSize, kSectorSize, false);
        } else if (cmd == kChipErase && wa == kCmdAddr1) {
            counters_.chipErases++;
            startErase(0, kSize, true);
        } else {
            st_.mode = Mode::ReadArray;
        }
        return;
    }
}

// Write-buffer programming: the word count at the sector address, then that
// many words within one buffer page of the sector, then the confirm. Anything
// else aborts (DQ1) until the write-buffer-abort reset.
void NorFlash::bufferCycle(uint32_t offset, uint16_t value)
{
    const uint32_t sector = offset / kSectorSize;
    switch (st_.mode) {
    case Mode::BufferCount:
        if (sector != st_.bufSector || uint32_t(value) + 1 > kBufferWords) return abortBuffer();
        st_.bufCount = uint32_t(value) + 1;
        st_.bufLoaded = 0;
        st_.bufPageSet = false;
        st_.bufUsed.fill(false);
        st_.mode = Mode::BufferLoad;
        return;
    case Mode::BufferLoad: {
        const uint32_t page = offset / kBufferBytes;
        if (sector != st_.bufSector || (st_.bufPageSet && page != st_.bufPage)) return abortBuffer();
        st_.bufPage = page;
        st_.bufPageSet = true;
        const uint32_t i = (offset % kBufferBytes) / 2;
        st_.bufData[i] = value;
        st_.bufUsed[i] = true;
        st_.pollData = value;
        if (++st_.bufLoaded == st_.bufCount) st_.mode = Mode::BufferConfirm;
        return;
    }
    case Mode::BufferConfirm: {
        if (uint8_t(value) != kBufferConfirm || sector != st_.bufSector) return abortBuffer();
        counters_.bufferPrograms++;
        startProgram(st_.bufPage * kBufferBytes, st_.bufData.data(), st_.bufUsed.data(), kBufferWords, true);
        return;
    }
    default:
        return;
    }
}

void NorFlash::abortBuffer()
{
    st_.mode = Mode::BufferAbort;
    st_.op = Op::Program;
}

// Programs words at offset (those marked in used; all when it is null). A bit can
// only go from 1 to 0: a word asking for a 1 where the array holds a 0 keeps
// the 0 and the operation ends with DQ5 (exceeded timing) at its maximum time,
// as the real part's does when it cannot verify.
void NorFlash::startProgram(uint32_t offset, const uint16_t* words, const bool* used, uint32_t count, bool buffer)
{
    bool cannot = false;
    target_.resize(2 * count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t old = store_.word(offset + 2 * i);
        uint16_t now = old;
        if (!used || used[i]) {
            now = old & words[i];
            if (now != words[i]) cannot = true;
        }
        target_[2 * i] = uint8_t(now >> 8);
        target_[2 * i + 1] = uint8_t(now);
    }
    st_.first = offset;
    st_.end = offset + 2 * count;
    // DQ7 polling shows the complement of the last word loaded.
    if (!buffer) st_.pollData = words[0];
    startBusy(Op::Program, typicalNs(false, buffer, false), maximumNs(false, buffer, false), faults_.program,
              cannot);
}

void NorFlash::startErase(uint32_t first, uint32_t len, bool chip)
{
    st_.first = first;
    st_.end = first + len;
    target_.clear(); // all ones
    // From the first erase of a boot-region sector the region is unbootable.
    if (st_.end > NorStore::kBootRegion) store_.setBootUpdatePending(true);
    startBusy(Op::Erase, typicalNs(true, false, chip), maximumNs(true, false, chip), faults_.erase, false);
}

void NorFlash::startBusy(Op op, uint64_t typNs, uint64_t maxNs, Fault fault, bool cannot)
{
    const uint64_t now = modelNowNs();
    st_.mode = Mode::Busy;
    st_.op = op;
    st_.outcome = cannot && fault != Fault::Hang ? Fault::Fail : fault;
    if (fault == Fault::Fail) target_.clear(); // the cells refuse the change
    st_.doneNs = now + modelChipNs(typNs);
    st_.limitNs = now + modelChipNs(maxNs);
    const uint64_t n = counters_.operations();
    const bool hookCuts = faults_.onOperation && faults_.onOperation(n);
    if (hookCuts || (faults_.powerCutAfterOps != 0 && n >= faults_.powerCutAfterOps)) {
        double f = faults_.cutFraction;
        if (f < 0) f = double(mix(n) >> 11) / double(1ull << 53);
        tear(f);
        char why[96];
        std::snprintf(why, sizeof why, "during flash operation %llu, a %s at 0x%08X, %d%% done",
                      static_cast<unsigned long long>(n), op == Op::Erase ? "erase" : "program",
                      unsigned(kBase + st_.first), int(f * 100));
        powerCut(why);
    }
}

// The state the running operation leaves when the power goes at the given
// fraction of its time: each bit it changes has changed when its own draw
// (a hash of its address) falls below the fraction.
void NorFlash::tear(double fraction)
{
    const uint32_t len = st_.end - st_.first;
    std::vector<uint8_t> bytes(store_.data() + st_.first, store_.data() + st_.end);
    const uint32_t threshold = uint32_t(fraction * 256);
    for (uint32_t i = 0; i < len; ++i) {
        const uint8_t want = target_.empty() ? (st_.op == Op::Erase ? 0xFF : bytes[i]) : target_[i];
        const uint8_t diff = bytes[i] ^ want;
        if (!diff) continue;
        const uint64_t h = mix(st_.first + i);
        for (int b = 0; b < 8; ++b)
            if ((diff >> b & 1) && ((h >> (8 * b)) & 0xFF) < threshold) bytes[i] ^= uint8_t(1u << b);
    }
    store_.store(st_.first, bytes.data(), len);
}

// The operation is done: the array holds its result, the device reads array.
void NorFlash::finish()
{
    if (st_.op == Op::Erase)
        store_.fill(st_.first, st_.end - st_.first, 0xFF);
    else if (!target_.empty())
        store_.store(st_.first, target_.data(), uint32_t(target_.size()));
    // The reset-vector word, the last one an update writes, ends the update.
    if (st_.op == Op::Program && st_.first <= kSize - 2 && st_.end >= kSize) store_.setBootUpdatePending(false);
    st_ = State{};
    target_.clear();
}

} // namespace host
