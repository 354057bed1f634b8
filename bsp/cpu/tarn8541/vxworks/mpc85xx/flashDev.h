/*
 * flashDev.h - the CFI NOR boot flash driver.
 */
#ifndef FLASH_DEV_H
#define FLASH_DEV_H

#include <cstdint>

int flashDevProbe();
int Flash_Erase(uint32_t start, uint32_t end);

#endif
