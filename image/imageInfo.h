/*
 * imageInfo.h - the information display of the active operational code image.
 */
#ifndef IMAGE_INFO_H
#define IMAGE_INFO_H

int imageInfoShow();

#endif
