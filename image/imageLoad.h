/*
 * imageLoad.h - loading operational code, configuration and the diagnostics
 * image over XMODEM, and installing a vetted image.
 */
#ifndef IMAGE_LOAD_H
#define IMAGE_LOAD_H

#include <cstdint>

/* The loads' receive: name removed, then received with the transfer command.
 * 0, or 1 after "Error while receiving file with XMODEM." (preceded, when a
 * write failed for a full disk, by a line that says so). */
int imageReceive(const char* name);
int imageOpCodeLoad(uint32_t targetDevice);
int imageDiagLoad(uint32_t targetDevice);
/* Start-up: a diagnostics image replace that a power loss cut short between
 * its renames is undone, so the old image has its name again (and one that
 * finished loses the old copy it had set aside). */
void imageDiagReplaceComplete();
int configLoad();

/* Receive files and the boot code copied out of the last loaded image. */
constexpr const char* IMAGE_LOAD_FILE = "xcode.bin";
constexpr const char* CONFIG_LOAD_FILE = "tempcfg.bin";
constexpr const char* BOOT_CODE_FILE = "bootcode.bin";

/* Option 4 after its transfer: vets the received file, prints the upload
 * report, installs it under the active image's name and copies its boot
 * code into "bootcode.bin". 0 = installed (also when its boot code could not
 * be put in place: said on its own line, and no "bootcode.bin" left), 1 =
 * refused or failed (stored images as they were, the file removed), 2 = its
 * first bytes cannot be read. */
int imageOpCodeStore(const char* path, uint32_t targetDevice);
/* Whether a boot code component (offset absolute) lies inside the image
 * length: option 4 refuses an image whose boot code does not. */
bool imageBootCodeInside(uint32_t size, uint32_t offset, uint32_t imageLength);
/* Stores a vetted file under an image name, keeping the directory in step;
 * the old image stays until the new one replaces it. 0 or a negative error. */
int imageInstall(const char* source, const char* target);
/* Option 5 after its transfer: the configuration copied into "startup-config".
 * 0, or 1 when the copy failed (the old configuration kept). */
int configStore(const char* path);

#endif
