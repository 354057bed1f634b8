/*
 * bootUtil.h - the boot code utilities menu (main menu choice 30).
 */
#ifndef BOOT_UTIL_H
#define BOOT_UTIL_H

void bootUtilMenu();
void bootDirListing();

#endif
