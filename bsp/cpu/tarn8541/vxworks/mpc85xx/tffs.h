/*
 * tffs.h - the flash disk: mounting "/DskVol/", formatting it when needed.
 */
#ifndef TFFS_H
#define TFFS_H

int tffsPPCInit();

#endif
