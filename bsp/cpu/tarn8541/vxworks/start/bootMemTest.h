/*
 * bootMemTest.h - memory access commands, the RAM test and the file system test.
 */
#ifndef BOOT_MEM_TEST_H
#define BOOT_MEM_TEST_H

void bootMemCommand();
void bootRamTest();
void bootFsTest();

#endif
