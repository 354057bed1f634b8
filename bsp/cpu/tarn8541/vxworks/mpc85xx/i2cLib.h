/*
 * i2cLib.h - I2C bus access over the main controller and the CPM channel.
 */
#ifndef I2C_LIB_H
#define I2C_LIB_H

#include <cstdint>

int i2cInit(uint8_t ownAddress, uint8_t filterRate, uint8_t divider);

#endif
