/*
 * bootMemTest.h - the service tools on memory and the flash disk: the memory
 * command interpreter, the RAM test over the largest free block of the memory
 * pool, and the file system test that copies "image1" and compares.
 */
#ifndef BOOT_MEM_TEST_H
#define BOOT_MEM_TEST_H

/* r ADDR COUNT dumps bytes, w{b,w,l} ADDR VALUE stores, q quits. */
void bootMemCommand();
void bootRamTest();
void bootFsTest();

#endif
