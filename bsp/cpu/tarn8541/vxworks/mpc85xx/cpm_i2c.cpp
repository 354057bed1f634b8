/*
 * cpm_i2c.cpp - the CPM I2C channel's random read.
 */
#include "cpm_i2c.h"

#include "i2cLib.h"
#include "osapi.h"
#include "sysBus.h"

#include <cstring>

namespace {

constexpr uint32_t CPM_BASE = CCSR_BASE + 0x80000;
constexpr uint32_t I2C_BASE_PTR = CPM_BASE + 0x8AFC;
constexpr uint32_t PDIR = CPM_BASE + 0x10D60;
constexpr uint32_t PPAR = CPM_BASE + 0x10D64;
constexpr uint32_t PSOR = CPM_BASE + 0x10D68;
constexpr uint32_t PODR = CPM_BASE + 0x10D6C;
constexpr uint32_t PD_I2C_PINS = 0x00030000;
constexpr uint32_t CPCR = CPM_BASE + 0x119C0;
constexpr uint32_t CPCFG = CPM_BASE + 0x119C4;
constexpr uint32_t CPCR_RST = 0x80000000;
constexpr uint32_t CPCR_FLG = 0x00010000;
constexpr uint32_t CPCR_I2C_INIT_RX_TX = 0x29610000;
constexpr uint32_t I2MOD = CPM_BASE + 0x11860;
constexpr uint32_t I2ADD = CPM_BASE + 0x11864;
constexpr uint32_t I2BRG = CPM_BASE + 0x11868;
constexpr uint32_t I2COM = CPM_BASE + 0x1186C;
constexpr uint32_t I2CER = CPM_BASE + 0x11870;
constexpr uint32_t I2CMR = CPM_BASE + 0x11874;
constexpr uint8_t I2MOD_EN = 0x01;

/* Parameter RAM at dual-port RAM offset 0. */
constexpr uint32_t PRAM = CPM_BASE + 0x0000;
constexpr uint32_t P_RBASE = PRAM + 0x00, P_TBASE = PRAM + 0x02, P_RFCR = PRAM + 0x04, P_TFCR = PRAM + 0x05,
                   P_MRBLR = PRAM + 0x06, P_RSTATE = PRAM + 0x08, P_RPTR = PRAM + 0x0C, P_RBPTR = PRAM + 0x10,
                   P_RCOUNT = PRAM + 0x12, P_RTEMP = PRAM + 0x14, P_TSTATE = PRAM + 0x18, P_TPTR = PRAM + 0x1C,
                   P_TBPTR = PRAM + 0x20, P_TCOUNT = PRAM + 0x22, P_TTEMP = PRAM + 0x24;
constexpr uint16_t TBASE_OFF = 0x800, RBASE_OFF = 0x810;
constexpr uint32_t TXBD = CPM_BASE + TBASE_OFF, RXBD = CPM_BASE + RBASE_OFF;

constexpr uint16_t BD_READY = 0x8000;
constexpr uint16_t BD_NAK = 0x0004;
constexpr uint16_t TXBD_GO = 0xBC00; /* ready, wrap, interrupt, last, start */
constexpr uint16_t RXBD_GO = 0xB000; /* empty, wrap, interrupt */

constexpr int SETTLE_TICKS = 60;
constexpr int TRANSFER_TICKS = 200;
constexpr int CPCR_POLLS = 10000;       /* fast polls before tick-paced ones */
constexpr int CPCR_TIMEOUT_TICKS = 10;

bool busFault;

#define CPM_TRACE(...) I2C_DRIVER_TRACE("cpm_i2c", __VA_ARGS__)

void fault(uint32_t addr)
{
    if (!busFault) vx::printf("cpm_iic_read: bus error at 0x%08x\n", addr);
    busFault = true;
}
void w8(uint32_t a, uint8_t v) { if (sysBusWrite8(a, v) != 0) fault(a); }
void w16(uint32_t a, uint16_t v) { if (sysBusWrite16(a, v) != 0) fault(a); }
void w32(uint32_t a, uint32_t v) { if (sysBusWrite32(a, v) != 0) fault(a); }
uint8_t r8(uint32_t a)
{
    uint8_t v = 0;
    if (sysBusRead8(a, &v) != 0) fault(a);
    return v;
}
uint16_t r16(uint32_t a)
{
    uint16_t v = 0;
    if (sysBusRead16(a, &v) != 0) fault(a);
    return v;
}
uint32_t r32(uint32_t a)
{
    uint32_t v = 0;
    if (sysBusRead32(a, &v) != 0) fault(a);
    return v;
}

/* Issues a CP command and waits (bounded) for the bits to clear. */
int cpCommand(uint32_t cmd, uint32_t waitBits)
{
    w32(CPCR, cmd);
    uint32_t start = 0;
    for (int polls = 0;; ++polls) {
        uint32_t v = r32(CPCR);
        if (busFault) return -1;
        if ((v & waitBits) == 0) return 0;
        if (polls < CPCR_POLLS) continue;
        if (polls == CPCR_POLLS) start = vx::tickGet();
        if (vx::tickGet() - start >= uint32_t(CPCR_TIMEOUT_TICKS)) {
            vx::printf("cpm_iic_init: CP command 0x%08x did not complete\n", cmd);
            return -1;
        }
        vx::taskDelay(1);
    }
}

int cpmIicInit()
{
    w32(PDIR, r32(PDIR) & ~PD_I2C_PINS);
    w32(PPAR, r32(PPAR) | PD_I2C_PINS);
    w32(PSOR, r32(PSOR) | PD_I2C_PINS);
    w32(PODR, r32(PODR) | PD_I2C_PINS);
    w16(I2C_BASE_PTR, 0);
    if (cpCommand(CPCR_RST | CPCR_FLG, CPCR_RST | CPCR_FLG) != 0) return -1;
    w32(CPCFG, 0);
    w32(P_RSTATE, 0);
    w32(P_RPTR, 0);
    w16(P_RBPTR, 0);
    w16(P_RCOUNT, 0);
    w32(P_RTEMP, 0);
    w32(P_TSTATE, 0);
    w32(P_TPTR, 0);
    w16(P_TBPTR, 0);
    w16(P_TCOUNT, 0);
    w32(P_TTEMP, 0);
    w16(P_TBASE, TBASE_OFF);
    w16(P_RBASE, RBASE_OFF);
    w8(P_TFCR, 0x30);
    w8(P_RFCR, 0x30);
    w16(P_MRBLR, 0x201);
    if (cpCommand(CPCR_I2C_INIT_RX_TX, CPCR_FLG) != 0) return -1;
    w8(I2ADD, 0x34);
    w8(I2BRG, 3);
    w8(I2MOD, 0x04);
    w8(I2CMR, 0);
    w8(I2CER, 0xFF);
    return busFault ? -1 : 0;
}

/* Runs the prepared descriptors: true when the transmit descriptor was sent. */
bool runTransfer()
{
    w8(I2CMR, 0x13);
    w8(I2CER, 0);
    w8(I2MOD, uint8_t(r8(I2MOD) | I2MOD_EN));
    w8(I2COM, 0x81);
    int ticks = 0;
    while ((r16(TXBD) & BD_READY) && !busFault && ticks < TRANSFER_TICKS) {
        vx::taskDelay(1);
        ++ticks;
    }
    w8(I2MOD, uint8_t(r8(I2MOD) & ~I2MOD_EN));
    if (r16(TXBD) & BD_READY) {
        vx::printf("cpm_iic_read: I2C transfer did not complete\n");
        return false;
    }
    return !busFault;
}

void setTxBd(uint32_t buf, uint16_t len)
{
    w32(TXBD + 4, buf);
    w16(TXBD + 2, len);
    w16(TXBD, TXBD_GO);
}

} // namespace

int32_t cpm_iic_read(uint8_t address, uint8_t* buffer, uint8_t offset, int32_t numbytes)
{
    if (!buffer || numbytes <= 0 || numbytes > CPM_IIC_MAX_READ) return 0;
    busFault = false;
    /* The CPM reaches memory over the bus: its buffers come from the pool. */
    uint8_t* area = static_cast<uint8_t*>(vx::malloc(2 * (size_t(numbytes) + 1) + 32));
    if (!area) {
        vx::printf("cpm_iic_read: no memory for the transfer buffers\n");
        return 0;
    }
    uintptr_t aligned = (reinterpret_cast<uintptr_t>(area) + 15) & ~uintptr_t(15);
    uint8_t* txBuf = reinterpret_cast<uint8_t*>(aligned);
    uint8_t* rxBuf = txBuf + ((numbytes + 1 + 15) & ~15);
    int32_t result = numbytes;

    if (cpmIicInit() != 0) {
        vx::free(area);
        return 0;
    }
    vx::taskDelay(SETTLE_TICKS);

    /* First transfer: the offset. */
    txBuf[0] = uint8_t(address & ~1);
    txBuf[1] = offset;
    setTxBd(vx::ptrToBoardAddr(txBuf), 2);
    if (!runTransfer()) result = 0;
    if (result && (r16(TXBD) & BD_NAK)) {
        CPM_TRACE("IIC read; no ack\n");
        result = -1;
    }
    if (result > 0 && (r16(RXBD) & BD_READY)) {
        CPM_TRACE("IIC read; complete but rbuf empty\n");
        CPM_TRACE("tx sc %04x, rx sc %04x\n", r16(TXBD), r16(RXBD));
        CPM_TRACE("Erroneous return\n");
        result = 0; /* the data transfer still runs */
    }
    if (result < 0 || busFault) {
        vx::free(area);
        return 0;
    }

    /* Second transfer: the data, one clock-out byte for each. */
    bool firstOk = result > 0;
    txBuf[0] = uint8_t(address | 1);
    w16(RXBD + 2, uint16_t(numbytes + 1));
    setTxBd(vx::ptrToBoardAddr(txBuf), uint16_t(numbytes + 1));
    w32(RXBD + 4, vx::ptrToBoardAddr(rxBuf));
    w16(RXBD, RXBD_GO);
    bool sent = runTransfer();
    if (!sent) {
        result = 0;
    } else if (r16(TXBD) & BD_NAK) {
        CPM_TRACE("IIC read; no ack\n");
        CPM_TRACE("Erroneous return\n");
        result = 0;
    } else if (r16(RXBD) & BD_READY) {
        CPM_TRACE("IIC read; complete but rbuf empty\n");
        CPM_TRACE("tx sc %04x, rx sc %04x\n", r16(TXBD), r16(RXBD));
        CPM_TRACE("Erroneous return\n");
        result = 0;
    } else {
        uint16_t got = r16(RXBD + 2);
        CPM_TRACE("read %d bytes\n", got);
        if (got < numbytes) {
            result = 0;
        } else {
            std::memcpy(buffer, rxBuf, size_t(numbytes));
            CPM_TRACE("Successful return\n");
            result = firstOk ? numbytes : 0;
        }
    }
    vx::free(area);
    return busFault ? 0 : result;
}
