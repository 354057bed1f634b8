// The I2C controller and the EEPROM, driven through their registers: each chip rule with a
// driver step that breaks it, which must fail, next to the right one. (The real drivers meet
// the write cycle, the CPM channel's time and a busy bus in i2cLib_test.)
#include "host/board/board.h"
#include "host/os/hostos.h"
#include "sysBus.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kEeW = 0xA2;

constexpr uint32_t kI2c = 0xF0003000, kFdr = kI2c + 4, kCr = kI2c + 8, kSr = kI2c + 0xC, kDr = kI2c + 0x10;
constexpr uint8_t kMen = 0x80, kMsta = 0x20, kMtx = 0x10, kTxak = 0x08, kRsta = 0x04;
constexpr uint8_t kMbb = 0x20, kMif = 0x02, kRxak = 0x01;

uint8_t reg(uint32_t a) // the register is the word's first byte
{
    uint32_t v = 0;
    return host::board().bus().read(a, 4, v), uint8_t(v >> 24);
}
void setReg(uint32_t a, uint8_t v) { sysBusWrite32Rev(a, v); }
void crSet(uint8_t bits) { setReg(kCr, uint8_t(reg(kCr) | bits)); }
void crClear(uint8_t bits) { setReg(kCr, uint8_t(reg(kCr) & ~bits)); }

// A main-controller driver for the EEPROM, each of its steps optional.
struct MainDriver {
    bool waitMif = true, clearMif = true, waitBeforeRead = true, txak = true, ackPolling = true;

    void waitByte(bool wait)
    {
        for (int i = 0; wait && i < 100000 && !(reg(kSr) & kMif); ++i) {
        }
        if (clearMif) setReg(kSr, 0);
    }
    bool send(uint8_t b)
    {
        setReg(kDr, b);
        waitByte(waitMif);
        return !(reg(kSr) & kRxak);
    }
    bool start(uint8_t addr, bool repeated)
    {
        if ((reg(kSr) & kMbb) && !repeated) return false;
        crSet(repeated ? kRsta : kMsta);
        crSet(kMtx);
        return send(addr);
    }
    bool write(uint8_t offset, uint8_t v)
    {
        bool ok = start(kEeW, false) && send(offset) && send(v), acked = false;
        crClear(kMsta);
        for (int attempts = 0; ok && ackPolling && !acked && attempts < 100000; ++attempts) {
            acked = start(kEeW, false);
            crClear(kMsta);
        }
        return ok;
    }
    Bytes read(uint8_t offset, int n)
    {
        Bytes out;
        crClear(kTxak);
        if (start(kEeW, false) && send(offset) && start(kEeW | 1, true)) {
            crClear(kMtx);
            reg(kDr); // starts the reception
            for (int i = 0; i < n; ++i) {
                waitByte(waitMif && waitBeforeRead);
                if (i == n - 1) crClear(kMsta);
                if (i == n - 2 && txak) crSet(kTxak);
                out.push_back(reg(kDr));
            }
        }
        crClear(kMsta);
        return out;
    }
};

class Controllers : public ::testing::Test {
protected:
    void SetUp() override { host::clockInit(true), host::board().setDir(""); }
    void TearDown() override { host::board().powerOn(); }
    void powerOn(uint8_t fdr) { host::board().powerOn(), setReg(kFdr, fdr), setReg(kCr, kMen | kMtx); }
};

TEST_F(Controllers, MainControllerWrongDriverStepsFail)
{
    struct Case {
        const char* step;
        MainDriver d;
    } cases[] = {
        {"right", {}},
        {"no MIF wait", {.waitMif = false}},
        {"no MIF clear", {.clearMif = false}},
        {"data register read before MIF", {.waitBeforeRead = false}},
        {"no TXAK before the last byte", {.txak = false}},
        {"no acknowledge polling", {.ackPolling = false}},
    };
    for (auto& c : cases) {
        powerOn(0x3F);
        ASSERT_LT(host::board().eeprom().contents()[0x42], 0x80) << "the byte after the two read drives a 0 bit";
        bool wrote = c.d.write(0x40, 0x5A) && c.d.write(0x41, 0xA5);
        Bytes got = c.d.read(0x40, 2);
        bool busFree = !(reg(kSr) & kMbb);
        EXPECT_EQ(wrote && got == Bytes({0x5A, 0xA5}) && busFree, c.step == std::string("right")) << c.step;
        if (c.d.txak) continue;
        EXPECT_EQ(got, Bytes({0x5A, 0xA5})) << "the data is right";
        EXPECT_FALSE(busFree) << "the device holds the data line: no stop, the bus stays busy";
        EXPECT_TRUE(host::board().i2cBus().dataHeldLow());
    }
}

} // namespace
