// norStore.h - the NOR flash array's contents and their persistence in
// DIR/nor.bin: the bytes in address order (nor.bin offset = address -
// 0xFE000000), written through to the file on every change, so a process
// killed at any moment leaves what a board losing power would. Beside it,
// DIR/nor.bin.update exists while an update of the boot region is unfinished
// (from the first erase of a boot-region sector until the reset-vector word
// is programmed), so that a power cut in that window leaves a dead board.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

class NorStore {
public:
    static constexpr uint32_t kSize = 32u << 20;
    static constexpr uint32_t kBootRegion = 0x01F00000u; // top megabyte: boot code
    static constexpr uint32_t kResetVector = kSize - 4;  // 0xFFFFFFFC
    // The factory boot code: a banner at the start of the boot region, the
    // reset entry at the start of the boot page, and at the reset vector a
    // branch back to it.
    static constexpr const char* kFactoryBanner = "tarn8541 factory boot code, Version: 28 Apr 2008";
    static constexpr uint32_t kResetEntry = kSize - 0x1000;       // 0xFFFFF000
    static constexpr uint32_t kResetVectorBranch = 0x4BFFF004u;   // b 0xFFFFF000

    NorStore();
    ~NorStore();
    NorStore(const NorStore&) = delete;
    NorStore& operator=(const NorStore&) = delete;

    // Takes the contents of path (empty: a volatile store with factory
    // contents). A missing file means factory contents, the file being made
    // on the first change. Returns "" or what is wrong with the file (wrong
    // size, unreadable); the store then holds factory contents and leaves the
    // file alone.
    std::string open(const std::string& path);
    // Creates path with factory contents when it does not exist (a new
    // board). "" or the reason it could not.
    static std::string createFactory(const std::string& path);
    // "" when path is absent or a usable flash image, else what is wrong.
    static std::string check(const std::string& path);
    static void factoryContents(std::vector<uint8_t>& bytes);

    const uint8_t* data() const { return bytes_.data(); }
    uint16_t word(uint32_t offset) const { return uint16_t(bytes_[offset] << 8 | bytes_[offset + 1]); }
    // Changes [offset, offset + len) and writes it through to the file.
    void store(uint32_t offset, const uint8_t* p, uint32_t len);
    void fill(uint32_t offset, uint32_t len, uint8_t value);
    // The boot region's update is unfinished (kept in the marker file).
    bool bootUpdatePending() const { return pending_; }
    void setBootUpdatePending(bool on);
    static std::string markerPath(const std::string& path) { return path + ".update"; }
    // Host failures of the write-through (the model goes on in memory).
    const std::string& writeError() const { return writeError_; }

private:
    void writeThrough(uint32_t offset, uint32_t len);
    std::vector<uint8_t> bytes_;
    std::string path_;
    int fd_ = -1;
    bool persist_ = false;
    bool pending_ = false;
    std::string writeError_;
};

} // namespace host
