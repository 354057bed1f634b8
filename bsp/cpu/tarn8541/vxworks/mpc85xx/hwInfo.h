/*
 * hwInfo.h - the hardware information displays: the PCI bus with its device
 * name table, and the core registers with the clock rates (owns the core
 * clock computed from the PLL status).
 */
#ifndef HW_INFO_H
#define HW_INFO_H

#include <cstdint>

/* detail 0: one name line a device; 1: also its IDs, function and header. */
void pciBusShow(int detail);
void coreInfoShow();
/* The platform (CCB) clock in Hz from the PLL status, or -1 for an invalid
 * platform ratio. Stores the core clock for the display. */
int32_t ccbFreqGet();

#endif
