/*
 * bootCodeUpdate.h - writing a boot code file into the boot region of the NOR flash.
 */
#ifndef BOOT_CODE_UPDATE_H
#define BOOT_CODE_UPDATE_H

int bootCodeUpdate(const char* path);

#endif
