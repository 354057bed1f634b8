/*
 * hwInfo.h - the hardware information displays: PCI bus and core information.
 */
#ifndef HW_INFO_H
#define HW_INFO_H

#include <cstdint>

void pciBusShow(int detail);
void coreInfoShow();

#endif
