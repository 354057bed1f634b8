// at24c02.cpp - the VPD EEPROM model.
#include "host/board/at24c02.h"

#include "host/board/persist.h"
#include "host/os/hostos.h"

#include <cstring>

namespace host {

At24c02::Image At24c02::factoryImage()
{
    Image img;
    img.fill(0xFF);
    size_t at = 0;
    auto record = [&](uint8_t type, const void* value, uint8_t len) {
        img[at++] = type;
        img[at++] = len;
        std::memcpy(&img[at], value, len);
        at += len;
    };
    const uint8_t marker = 0xE0;
    const uint8_t mac[6] = {0x02, 0x54, 0x41, 0x52, 0x4E, 0x01}; // locally administered test address
    const uint8_t date[2] = {8, 17};
    const uint8_t cardType[4] = {0x00, 0x00, 0x85, 0x41};
    const uint8_t rev = 0x01;
    record(0xFF, &marker, 1);
    record(1, "TARN8541 SWITCH CONTROLLER", 26);
    record(2, "TN-8541-001", 11);
    record(3, "TB0000000001", 12);
    record(4, mac, 6);
    record(5, date, 2);
    record(6, cardType, 4);
    record(7, &rev, 1);
    return img;
}

void At24c02::powerOn(const std::string& path)
{
    path_ = path;
    if (!persistLoad(path_, mem_.data(), mem_.size())) {
        mem_ = factoryImage();
        persistStore(path_, 0, mem_.data(), mem_.size());
    }
    ptr_ = 0;
    selected_ = false;
    wordAddressNext_ = false;
    page_ = Pending{};
    cycle_.clear();
}

void At24c02::setContents(const Image& img)
{
    mem_ = img;
    persistStore(path_, 0, mem_.data(), mem_.size());
}

void At24c02::busStart()
{
    // A write is started only by a stop: a repeated start abandons the data.
    selected_ = false;
    page_ = Pending{};
}

bool At24c02::addressed(bool read)
{
    if (inWriteCycle()) return false;
    cycle_.clear();
    selected_ = true;
    wordAddressNext_ = !read;
    return true;
}

bool At24c02::receive(uint8_t byte)
{
    if (!selected_) return false;
    if (wordAddressNext_) {
        ptr_ = byte;
        wordAddressNext_ = false;
        return true;
    }
    int slot = ptr_ % kPage;
    page_.loaded[slot] = true;
    page_.data[slot] = byte;
    ++page_.count;
    ptr_ = uint8_t((ptr_ & ~(kPage - 1)) | ((ptr_ + 1) % kPage));
    return true;
}

uint8_t At24c02::transmit()
{
    uint8_t b = mem_[ptr_];
    ptr_ = uint8_t(ptr_ + 1);
    return b;
}

void At24c02::busStop()
{
    if (selected_ && page_.count > 0) {
        uint8_t base = uint8_t(ptr_ & ~(kPage - 1));
        const bool cut = cutAfter_ != 0 && ++writes_ == cutAfter_;
        for (int i = 0; i < kPage; ++i) {
            if (!page_.loaded[i]) continue;
            /* A cut: the cycle erases, then programs; which bytes it reached
             * is a fixed draw from the write's number and the byte. */
            const uint64_t draw = (writes_ * 0x9E3779B97F4A7C15ull + uint64_t(i) * 0xBF58476D1CE4E5B9ull) >> 61;
            if (!cut || draw >= 3) mem_[base + i] = page_.data[i];
            else if (draw >= 1) mem_[base + i] = 0xFF;
        }
        persistStore(path_, base, &mem_[base], kPage);
        if (cut) {
            cutAfter_ = 0;
            powerCut("EEPROM write cycle");
        }
        cycle_.start(kWriteCycleNs);
    }
    selected_ = false;
    page_ = Pending{};
}

} // namespace host
