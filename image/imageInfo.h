/*
 * imageInfo.h - the information display of the active operational code image,
 * and the header report it shares with the upload report of an image load.
 */
#ifndef IMAGE_INFO_H
#define IMAGE_INFO_H

#include "image/image.h"

/* Prints the active image's header report; 0, or -1 when it cannot be read. */
int imageInfoShow();

/* The report lines from "CRC..." to "File - ": the boot code block always
 * when bootAlways is true, else only when component 1 is present. */
void imageHeaderReport(const ImageHeader* hdr, bool bootAlways);

#endif
