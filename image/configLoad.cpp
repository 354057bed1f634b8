/*
 * configLoad.cpp - main menu option 5: a configuration file received over
 * XMODEM into "tempcfg.bin" and copied, command by command, into the
 * compressed "startup-config".
 */
#include "image/imageLoad.h"

#include "cli/cliTxtCfg.h"
#include "osapi.h"
#include "osapi_file.h"

int configLoad()
{
    if (imageReceive(CONFIG_LOAD_FILE) != 0) return 1;
    vx::printf("\n\nXMODEM transfer complete, checking CRC....\n");
    return configStore(CONFIG_LOAD_FILE);
}

int configStore(const char* path)
{
    /* The copy keeps the saved configuration unless it completes. */
    return cliTxtCfgCopyConfig(path, nullptr, 1) == OSAPI_FILE_OK ? 0 : 1;
}
