// I2C controllers and the EEPROM, driven through their registers: each chip rule with a driver
// that breaks it, which must fail, next to the right one (the clock's BCD rule: rtc_test).
#include "host/board/board.h"
#include "host/board/modelTime.h"
#include "host/os/hostos.h"
#include "osapi.h"
#include "sysBus.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using host::At24c02;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kEeW = 0xA2;

constexpr uint32_t kI2c = 0xF0003000, kFdr = kI2c + 4, kCr = kI2c + 8, kSr = kI2c + 0xC, kDr = kI2c + 0x10;
constexpr uint8_t kMen = 0x80, kMsta = 0x20, kMtx = 0x10, kTxak = 0x08, kRsta = 0x04;
constexpr uint8_t kMcf = 0x80, kMbb = 0x20, kMif = 0x02, kRxak = 0x01;

uint32_t rd(uint32_t a, int width = 4)
{
    uint32_t v = 0;
    host::board().bus().read(a, width, v);
    return v;
}
uint8_t reg(uint32_t a) { return uint8_t(rd(a) >> 24); } // the register is the word's first byte
void setReg(uint32_t a, uint8_t v) { sysBusWrite32Rev(a, v); }
void crSet(uint8_t bits) { setReg(kCr, uint8_t(reg(kCr) | bits)); }
void crClear(uint8_t bits) { setReg(kCr, uint8_t(reg(kCr) & ~bits)); }

// A main-controller driver for the EEPROM, each of its steps optional.
struct MainDriver {
    bool waitMif = true, clearMif = true, waitBeforeRead = true, txak = true, ackPolling = true;
    int attempts = 0; // acknowledge polling attempts of the last write

    void waitByte(bool wait)
    {
        for (int i = 0; wait && i < 100000 && !(reg(kSr) & kMif); ++i) continue;
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
        for (attempts = 0; ok && ackPolling && !acked && attempts < 100000; ++attempts) {
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

TEST_F(Controllers, ByteTakesNineSclPeriodsAndAcknowledgePollingTheWriteCycle)
{
    // SCL = 330 MHz / divider. The drivers' 150 polling attempts suffice at
    // the start-up divider 0x3F, not at 1.3 MHz (0x20).
    struct {
        uint8_t fdr;
        uint64_t divider;
    } rates[] = {{0x3F, 32768}, {0x00, 384}, {0x20, 256}, {0x1F, 61440}, {0x2B, 1024}};
    for (const auto& r : rates) {
        powerOn(r.fdr);
        crSet(kMsta);
        setReg(kDr, kEeW);
        uint64_t t0 = host::clockNowNs(), byteNs = 9 * r.divider * 1000000000 / 330000000;
        uint8_t sr;
        while (!((sr = reg(kSr)) & kMif)) EXPECT_EQ(sr & kMcf, 0) << "transferring";
        uint64_t took = host::clockNowNs() - t0;
        EXPECT_TRUE(took >= byteNs && took <= byteNs + host::kPollNs) << int(r.fdr) << ": " << took;
        EXPECT_EQ(sr & (kMcf | kRxak), kMcf) << "acknowledged";
        setReg(kSr, 0);
        crClear(kMsta);
        MainDriver d;
        t0 = host::clockNowNs();
        ASSERT_TRUE(d.write(0x40, r.fdr));
        EXPECT_GE(host::clockNowNs() - t0, At24c02::kWriteCycleNs) << int(r.fdr);
        EXPECT_TRUE(r.fdr != 0x3F || d.attempts <= 150) << d.attempts;
        EXPECT_TRUE(r.fdr != 0x20 || d.attempts > 150) << d.attempts;
    }
}

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

constexpr uint32_t kCpm = 0xF0080000, kCpcr = kCpm + 0x119C0, kTxBd = kCpm + 0x800, kBuf = 0x100000;
constexpr uint32_t kCpReset = 0x80010000u, kCpInit = 0x29610000u;

// Issues a CP command and polls the busy flag; the time it took.
uint64_t cpCommand(uint32_t cmd)
{
    uint64_t t0 = host::clockNowNs();
    sysBusWrite32(kCpcr, cmd);
    while (rd(kCpcr) & kCpReset) continue;
    return host::clockNowNs() - t0;
}

// One CPM transfer (address and offset) with port D and the baud-rate
// generator set up or not: the transmit descriptor's status after the
// driver's 200-tick wait, and the ticks it waited.
uint16_t cpmTransfer(bool portD, bool brg, int& ticks)
{
    host::board().powerOn();
    for (uint32_t r = 0x10D60; portD && r <= 0x10D6C; r += 4) sysBusWrite32(kCpm + r, r == 0x10D60 ? 0 : 0x30000);
    sysBusWrite16(kCpm + 0x8AFC, 0);
    EXPECT_GE(cpCommand(kCpReset), host::CpmI2c::kCpResetNs);
    sysBusWrite32(kCpm, 0x08100800); // RBASE, TBASE
    EXPECT_GE(cpCommand(kCpInit), host::CpmI2c::kCpCommandNs);
    if (brg) sysBusWrite8(kCpm + 0x11868, 3);
    sysBusWrite16(kBuf, uint16_t(kEeW << 8 | 0x05));
    sysBusWrite32(kTxBd + 4, kBuf);
    sysBusWrite32(kTxBd, 0xBC000002u); // ready, wrap, interrupt, last, start; 2 bytes
    sysBusWrite8(kCpm + 0x11860, 0x05);
    sysBusWrite8(kCpm + 0x1186C, 0x81);
    for (ticks = 0; (rd(kTxBd, 2) & 0x8000) && ticks < 200; ++ticks) vx::taskDelay(1);
    sysBusWrite8(kCpm + 0x11860, 0x04);
    return uint16_t(rd(kTxBd, 2));
}

TEST_F(Controllers, CpmCommandsAndTransfersTakeTimeAndNeedPortDAndTheBaudRateGenerator)
{
    host::board().powerOn();
    sysBusWrite32(kCpcr, kCpReset);
    sysBusWrite32(kCpcr, kCpInit); // ignored while the CP is busy
    EXPECT_EQ(rd(kCpcr), kCpReset);
    cpCommand(0);
    EXPECT_EQ(rd(kCpcr), 0u) << "the reset ran, the second command did not";
    int ticks = 0;
    EXPECT_EQ(cpmTransfer(true, true, ticks), 0x3C00) << "sent, acknowledged";
    EXPECT_EQ(ticks, 1) << "not done at once";
    EXPECT_EQ(cpmTransfer(false, true, ticks), 0xBC00) << "port D not set up: nothing moves";
    EXPECT_EQ(cpmTransfer(true, false, ticks), 0xBC00) << "no baud-rate generator: nothing moves";
    EXPECT_FALSE(host::board().i2cBus().busy()) << "the abandoned transfer left the bus";
}

} // namespace
