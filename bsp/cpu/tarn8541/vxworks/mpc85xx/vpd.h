/*
 * vpd.h - the vital product data EEPROM (device 4): the whole-image read,
 * the "Dump VPD EEPROM" display and the programming of the base MAC address
 * and serial number ("Generate and store VPD info").
 *
 * The image is 256 bytes of type-length-value records after the start marker
 * 0xFF 0x01 0xE0; the programming relies on records 1 to 4 (product name,
 * part number, serial number, MAC address) following the marker in order.
 */
#ifndef VPD_H
#define VPD_H

#include <cstdint>

constexpr int VPD_SIZE = 256;
constexpr int VPD_SERIAL_MAX = 20;
constexpr int VPD_MAC_LEN = 6;

int vpdEepromRead(uint32_t offset, uint8_t* buf, uint32_t count);
int vpdDump(uint32_t offset, uint32_t count);
int vpdGenerate();

/* Offset of the first start marker at 0..253, or -1. */
int vpdMarkerFind(const uint8_t image[VPD_SIZE]);
/* Finds the serial number's value and length and the MAC address's value.
 * Returns 0, or -1 when the image lacks the marker or records 1 to 4 in order
 * within its 256 bytes, or holds a serial number over 20 characters or a MAC
 * record that is not 6 bytes long. */
int vpdLocate(const uint8_t image[VPD_SIZE], int* serialOffset, int* serialLength, int* macOffset);
/* Builds the image that replaces cur: the serial number and MAC records
 * rewritten, the records before them kept, the ones after them moved and cut
 * at the image's end; a null serial or mac keeps the current one. Returns 0, or -1 (img undefined) when cur holds no
 * valid VPD or the records up to the new MAC record do not fit. */
int vpdBuild(const uint8_t cur[VPD_SIZE], const char* serial, const uint8_t mac[VPD_MAC_LEN], uint8_t img[VPD_SIZE]);
void vpdMacPrint(const uint8_t mac[VPD_MAC_LEN]);

#endif
