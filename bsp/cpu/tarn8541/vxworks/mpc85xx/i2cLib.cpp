/*
 * i2cLib.cpp - device-addressed random reads and writes on the I2C buses.
 */
#include "i2cLib.h"

#include "cpm_i2c.h"
#include "sysBus.h"

namespace {

/* Main controller registers: one byte each, the low byte of a byte-reversed word. */
constexpr uint32_t I2C_BASE = CCSR_BASE + 0x3000;
constexpr uint32_t I2CADR = I2C_BASE + 0x00;
constexpr uint32_t I2CFDR = I2C_BASE + 0x04;
constexpr uint32_t I2CCR = I2C_BASE + 0x08;
constexpr uint32_t I2CSR = I2C_BASE + 0x0C;
constexpr uint32_t I2CDR = I2C_BASE + 0x10;
constexpr uint32_t I2CDFSRR = I2C_BASE + 0x14;

constexpr uint8_t CR_MEN = 0x80;
constexpr uint8_t CR_MSTA = 0x20;
constexpr uint8_t CR_MTX = 0x10;
constexpr uint8_t CR_TXAK = 0x08;
constexpr uint8_t CR_RSTA = 0x04;
constexpr uint8_t SR_MBB = 0x20;
constexpr uint8_t SR_MIF = 0x02;
constexpr uint8_t SR_RXAK = 0x01;

/* Waits on the controller: first polls with a short busy-wait between them
 * (2000 of them outlast a byte at the start-up divider, about 0.9 ms), then
 * one-tick delays up to the limit, so a dead bus ends the transfer instead of
 * hanging the console. */
constexpr int FAST_POLLS = 2000;
constexpr int PAUSE_LOOPS = 256;
constexpr int TIMEOUT_TICKS = 10;

/* Results of the internal primitives beside 0 (acknowledged). */
constexpr int I2C_NAK = -1;
constexpr int I2C_FAIL = -2; /* timeout or register access failure */

bool regFault; /* a register access failed during this transfer */

#define I2C_TRACE(...) I2C_DRIVER_TRACE("i2cLib", __VA_ARGS__)

uint8_t regRead(uint32_t addr)
{
    uint32_t v = 0;
    if (sysBusRead32Rev(addr, &v) != 0) {
        if (!regFault) vx::printf("i2cLib: bus error reading the I2C controller at 0x%08x\n", addr);
        regFault = true;
        return 0;
    }
    vx::vxSync();
    return uint8_t(v);
}

void regWrite(uint32_t addr, uint8_t v)
{
    if (sysBusWrite32Rev(addr, v) != 0) {
        if (!regFault) vx::printf("i2cLib: bus error writing the I2C controller at 0x%08x\n", addr);
        regFault = true;
    }
    vx::vxSync();
}

void crSet(uint8_t bits) { regWrite(I2CCR, uint8_t(regRead(I2CCR) | bits)); }
void crClear(uint8_t bits) { regWrite(I2CCR, uint8_t(regRead(I2CCR) & ~bits)); }

void pause()
{
    for (int i = 0; i < PAUSE_LOOPS; ++i) asm volatile("" ::: "memory"); /* an empty loop the compiler keeps */
}

/* Waits until (status & mask) == want. 0, or I2C_FAIL after the limit. */
int waitStatus(const char* routine, uint8_t mask, uint8_t want, bool withPause, const char* what)
{
    uint32_t start = 0;
    for (int polls = 0;; ++polls) {
        uint8_t sr = regRead(I2CSR);
        if (regFault) return I2C_FAIL;
        if ((sr & mask) == want) return 0;
        if (polls < FAST_POLLS) {
            if (withPause) pause();
            continue;
        }
        if (polls == FAST_POLLS) start = vx::tickGet();
        if (vx::tickGet() - start >= uint32_t(TIMEOUT_TICKS)) {
            vx::printf("%s: timeout waiting for %s (status 0x%02x)\n", routine, what, sr);
            return I2C_FAIL;
        }
        vx::taskDelay(1);
    }
}

/* Sends one byte: 0 acknowledged, I2C_NAK, or I2C_FAIL. */
int sendByte(uint8_t byte)
{
    regWrite(I2CDR, byte);
    if (waitStatus("i2cSendByte", SR_MIF, SR_MIF, true, "transfer complete") != 0) return I2C_FAIL;
    regWrite(I2CSR, 0);
    return (regRead(I2CSR) & SR_RXAK) ? I2C_NAK : 0;
}

int start(uint8_t address, int32_t direction, int32_t repeated)
{
    if (repeated != 1) {
        if (waitStatus("i2cStart", SR_MBB, 0, false, "the bus to be free") != 0) return I2C_FAIL;
        crSet(CR_MSTA);
    } else {
        crSet(CR_RSTA);
    }
    crSet(CR_MTX);
    int r = sendByte(direction == 1 ? uint8_t(address | 1) : uint8_t(address & ~1));
    if (r != 0) I2C_TRACE("-1 return\n");
    return r;
}

/* Sends the offset bytes, most significant first; their acknowledges do not
 * matter, a failed transfer does. */
int sendOffset(uint32_t offset, int32_t adrsBytes)
{
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = uint8_t(offset >> (8 * i));
    for (int i = adrsBytes - 1; i >= 0; --i) {
        if (sendByte(bytes[i]) == I2C_FAIL) return I2C_FAIL;
    }
    return 0;
}

bool argsValid(int32_t device, int32_t adrsBytes, int32_t numbytes)
{
    return numbytes > 0 && device >= 1 && device < I2C_DEV_COUNT && adrsBytes >= 1 && adrsBytes <= 4;
}

int readMain(uint8_t addr, int32_t offset, int32_t adrsBytes, uint8_t* buffer, int32_t numbytes)
{
    crClear(CR_TXAK);
    if (start(addr, 0, 0) != 0) {
        i2cStop();
        I2C_TRACE("Error return: erroneous i2cStart of nonzero\n");
        return -1;
    }
    if (sendOffset(uint32_t(offset), adrsBytes) == I2C_FAIL || start(addr, 1, 1) == I2C_FAIL) {
        i2cStop();
        return -1;
    }
    crClear(CR_MTX);
    if (numbytes == 1) {
        crSet(CR_TXAK);
        regRead(I2CDR); /* starts the reception */
        int r = waitStatus("i2cRandomRead", SR_MIF, SR_MIF, true, "transfer complete");
        regWrite(I2CSR, 0);
        i2cStop();
        buffer[0] = regRead(I2CDR);
        if (r != 0 || regFault) return -1;
        I2C_TRACE("Normal return\n");
        return 0;
    }
    regRead(I2CDR);
    for (int32_t i = 0; i < numbytes; ++i) {
        if (waitStatus("i2cRandomRead", SR_MIF, SR_MIF, true, "transfer complete") != 0) {
            crSet(CR_TXAK);
            i2cStop();
            return -1;
        }
        regWrite(I2CSR, 0);
        if (i == numbytes - 1) i2cStop();
        if (i == numbytes - 2) crSet(CR_TXAK);
        buffer[i] = regRead(I2CDR);
    }
    crSet(CR_TXAK);
    if (regFault) return -1;
    I2C_TRACE("Normal return - end of routine\n");
    return 0;
}

int writeMain(uint8_t addr, int32_t offset, int32_t adrsBytes, const uint8_t* buffer, int32_t numbytes)
{
    if (start(addr, 0, 0) != 0) {
        i2cStop();
        return -1;
    }
    int r = sendOffset(uint32_t(offset), adrsBytes);
    for (int32_t i = 0; i < numbytes && r == 0; ++i) r = sendByte(buffer[i]);
    i2cStop();
    if (r == I2C_FAIL) return -1;
    bool dataRefused = r == I2C_NAK;
    /* Acknowledge polling waits out the device's internal write cycle. */
    for (int attempt = 0; attempt < I2C_ACK_POLL_ATTEMPTS; ++attempt) {
        int a = start(addr, 0, 0);
        i2cStop();
        if (a == I2C_FAIL) return -1;
        if (a == 0) return dataRefused || regFault ? -1 : 0;
    }
    vx::printf("i2cRandomWrite: device 0x%02x still busy after %d polls\n", addr >> 1, I2C_ACK_POLL_ATTEMPTS);
    return -1;
}

} // namespace

const I2cDevEntry i2cDevTable[I2C_DEV_COUNT] = {
    {0xFF, ""},
    {0xAE, "SODIMM"},
    {0x5C, "ADT7460_SENSOR"},
    {0xD0, "DS1338_RTC"},
    {0xA2, "AT24c02_EPPROM_MB"},
    {0xA4, "AT24c02_EPPROM_DB"},
    {0xA0, "AT24c02_EPPROM_RPSU1"},
    {0xA8, "AT24c02_EPPROM_RPSU2"},
    {0x40, "PCA9555_EXPANDER"},
};

vx::SEM_ID i2cLock;
uint32_t i2cTraceMask;

int i2cInit(uint8_t ownAddress, uint8_t filterRate, uint8_t divider)
{
    i2cLock = vx::semBCreate(vx::SEM_Q_FIFO, vx::SEM_FULL);
    regFault = false;
    regWrite(I2CFDR, divider);
    regWrite(I2CDFSRR, filterRate);
    regWrite(I2CADR, ownAddress);
    regWrite(I2CCR, CR_MTX);
    crSet(CR_MEN);
    return 0;
}

int i2cStart(uint8_t address, int32_t direction, int32_t repeated)
{
    return start(address, direction, repeated) == 0 ? 0 : -1;
}

void i2cStop() { crClear(CR_MSTA); }

int i2cSendByte(uint8_t byte) { return sendByte(byte) == 0 ? 0 : -1; }

void i2cSendOffset(uint32_t offset, int32_t adrsBytes)
{
    if (adrsBytes >= 1 && adrsBytes <= 4) sendOffset(offset, adrsBytes);
}

int i2cRandomRead(int32_t bus, int32_t device, int32_t offset, int32_t adrsBytes, uint8_t* buffer, int32_t numbytes)
{
    I2C_TRACE("Entering: Input: bus = %d, device = %d, offset = %d, adrsBytes = %d, &buffer= %d, numbytes = %d\n",
              bus, device, offset, adrsBytes, int32_t(reinterpret_cast<intptr_t>(buffer)), numbytes);
    if (numbytes == 0) {
        I2C_TRACE("Error return: numBytes == 0\n");
        return -1;
    }
    if (device < 1 || device >= I2C_DEV_COUNT) {
        I2C_TRACE("Error return: erroneous device = %d\n", device);
        return -1;
    }
    if (!argsValid(device, adrsBytes, numbytes) || !buffer || !i2cLock) return -1;
    vx::semTake(i2cLock, vx::WAIT_FOREVER);
    uint8_t addr = i2cDevTable[device].address;
    int r;
    if (device >= 6) {
        if (cpm_iic_read(addr, buffer, uint8_t(offset), numbytes) == 0) {
            I2C_TRACE("Error return: erroneous cpm_iic_read of zero\n");
            r = -1;
        } else {
            I2C_TRACE("Normal return - end of routine\n");
            r = 0;
        }
    } else {
        regFault = false;
        r = readMain(addr, offset, adrsBytes, buffer, numbytes);
    }
    vx::semGive(i2cLock);
    return r;
}

int i2cRandomWrite(int32_t bus, int32_t device, int32_t offset, int32_t adrsBytes, const uint8_t* buffer,
                   int32_t numbytes)
{
    (void)bus;
    if (!argsValid(device, adrsBytes, numbytes) || !buffer || !i2cLock) return -1;
    vx::semTake(i2cLock, vx::WAIT_FOREVER);
    regFault = false;
    int r = writeMain(i2cDevTable[device].address, offset, adrsBytes, buffer, numbytes);
    vx::semGive(i2cLock);
    return r;
}
