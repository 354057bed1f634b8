/*
 * imageActivate.h - verification of the active image, backup activation, the
 * start mode (operational code or diagnostics) and its file "diag_config.cfg".
 */
#ifndef IMAGE_ACTIVATE_H
#define IMAGE_ACTIVATE_H

constexpr int BOOT_IMAGE_NAME_LEN = 20;
constexpr int DIAG_MODE_DIAG = 1;
constexpr int DIAG_MODE_OPCODE = 2;

/* The image that option 1 starts and option 8 deletes (owned by the boot menu). */
extern char bootImageName[BOOT_IMAGE_NAME_LEN];

/* The active image's name when it fits bootImageName, else "image1" (after
 * "ActiveImage could not be found\n" when quiet is false). Returns 0 when the
 * directory named it, -1 when "image1" was taken in its place. */
int imageActiveNameGet(char name[BOOT_IMAGE_NAME_LEN], bool quiet);

int imageActiveCrcCheck();
int imageBackupActivate();
int diagImageExists();
int diagModeGet();
int diagModeSet(int mode);

/* Puts the module state back to its power-on values (start mode not read yet,
 * bootImageName "image1"); for start-up and tests. */
void imageActivateReset();

#endif
