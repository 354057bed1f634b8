/*
 * vpd.h - the vital product data EEPROM: reading, dumping and programming.
 */
#ifndef VPD_H
#define VPD_H

#include <cstdint>

int vpdEepromRead(uint32_t offset, uint8_t* buf, uint32_t count);
int vpdDump(uint32_t offset, uint32_t count);
int vpdGenerate();

#endif
