/*
 * imageLoad.h - loading operational code, configuration and the diagnostics
 * image over XMODEM, and installing a vetted image.
 */
#ifndef IMAGE_LOAD_H
#define IMAGE_LOAD_H

#include <cstdint>

int imageOpCodeLoad(uint32_t targetDevice);
int imageDiagLoad(uint32_t targetDevice);
int configLoad();

#endif
