/*
 * i2cLib.h - I2C bus access over the main controller and the CPM channel.
 *
 * Owns the device table (devices are named by their index), the lock that
 * keeps each transfer whole, and the main controller's bus primitives. Reads
 * of devices 6 to 8 go through the CPM channel (cpm_i2c.h). Every wait on the
 * controller is bounded: a bus that never frees or a transfer that never
 * completes gives an error message and a failed transfer.
 */
#ifndef I2C_LIB_H
#define I2C_LIB_H

#include "osapi.h"

#include <cstdint>

constexpr int I2C_DEV_COUNT = 9;
constexpr int I2C_DEV_RTC = 3;
constexpr int I2C_DEV_VPD = 4;

struct I2cDevEntry {
    uint8_t address; /* 7-bit address shifted left by one */
    char name[40];
};

extern const I2cDevEntry i2cDevTable[I2C_DEV_COUNT];
extern vx::SEM_ID i2cLock;
extern uint32_t i2cTraceMask; /* bit 0x8: trace lines */

/* A trace line of an I2C driver routine (module, routine, line, then the
 * message), printed while i2cTraceMask has bit 0x8. */
#define I2C_DRIVER_TRACE(module, ...)                                          \
    do {                                                                        \
        if (i2cTraceMask & 0x8) {                                               \
            vx::printf("%s : %s  %d :", module, __func__, __LINE__);            \
            vx::printf(__VA_ARGS__);                                            \
        }                                                                       \
    } while (0)

int i2cInit(uint8_t ownAddress, uint8_t filterRate, uint8_t divider);
int i2cRandomRead(int32_t bus, int32_t device, int32_t offset, int32_t adrsBytes, uint8_t* buffer, int32_t numbytes);
int i2cRandomWrite(int32_t bus, int32_t device, int32_t offset, int32_t adrsBytes, const uint8_t* buffer,
                   int32_t numbytes);

/* Bus primitives of the main controller (used by the two random operations). */
int i2cStart(uint8_t address, int32_t direction, int32_t repeated); /* 0 acknowledged, -1 not */
void i2cStop();
int i2cSendByte(uint8_t byte);                      /* 0 acknowledged, -1 not */
void i2cSendOffset(uint32_t offset, int32_t adrsBytes);

/* Acknowledge polling after a write gives up after this many attempts. At the
 * divider i2cInit is given at start-up (0x3F: about 10 kHz from the 330 MHz
 * platform clock) an attempt lasts about 0.9 ms, so 150 of them outlast the
 * 5 ms write cycle of the EEPROMs on the board many times over. */
constexpr int I2C_ACK_POLL_ATTEMPTS = 150;

#endif
