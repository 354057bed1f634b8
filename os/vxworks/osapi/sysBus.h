/*
 * sysBus.h - the board support's physical bus accessors.
 *
 * Drivers reach the processor's configuration registers, the NOR flash and
 * DRAM only through these. Results are big-endian, as the e500's loads see
 * them; the Rev variants byte-reverse a 32-bit access (lwbrx/stwbrx), as the
 * CPM registers that are little-endian need. An address with no device is a
 * bus error: the checked accessors return -1 and leave *val untouched.
 */
#ifndef SYSBUS_H
#define SYSBUS_H

#include <cstdint>

constexpr uint32_t CCSR_BASE = 0xF0000000u;
constexpr uint32_t RESET_REG = 0xF0090D10u;

int sysBusRead8(uint32_t addr, uint8_t* val);
int sysBusRead16(uint32_t addr, uint16_t* val);
int sysBusRead32(uint32_t addr, uint32_t* val);
int sysBusWrite8(uint32_t addr, uint8_t val);
int sysBusWrite16(uint32_t addr, uint16_t val);
int sysBusWrite32(uint32_t addr, uint32_t val);
int sysBusRead32Rev(uint32_t addr, uint32_t* val);
int sysBusWrite32Rev(uint32_t addr, uint32_t val);

/* Unchecked accesses, for code that cannot handle a bus error: an access to no
 * device raises a machine check (report on the console, board reset). */
uint32_t sysIn32(uint32_t addr);
void sysOut32(uint32_t addr, uint32_t val);

#endif
