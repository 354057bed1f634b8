/*
 * cpm_i2c.h - random reads over the I2C channel of the Communications
 * Processor Module (used by i2cLib for devices 6 to 8).
 *
 * The channel is reset and set up afresh for every read; the transfers run
 * from buffer descriptors in dual-port RAM, with buffers from the system
 * memory pool. Every wait is bounded.
 */
#ifndef CPM_I2C_H
#define CPM_I2C_H

#include <cstdint>

constexpr int32_t CPM_IIC_MAX_READ = 512; /* MRBLR 0x201 less the address byte */

/* Returns numbytes on success, 0 on failure. */
int32_t cpm_iic_read(uint8_t address, uint8_t* buffer, uint8_t offset, int32_t numbytes);

#endif
