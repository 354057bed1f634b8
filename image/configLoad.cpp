/*
 * configLoad.cpp - main menu option 5: a configuration file received over
 * XMODEM into "tempcfg.bin" and copied, command by command, into the
 * compressed "startup-config".
 */
#include "image/imageLoad.h"

#include "cli/cliTxtCfg.h"
#include "osapi.h"
#include "osapi_file.h"
#include "xmodem/xmodem.h"

namespace {
constexpr uint32_t COMMAND_LEN = 64;
}

int configLoad()
{
    vx::remove(CONFIG_LOAD_FILE);
    vx::printf("Ready to receive the file with XMODEM/CRC....\n");
    char command[COMMAND_LEN];
    vx::snprintf(command, sizeof command, "-cbrke %s", CONFIG_LOAD_FILE);
    if (xmodem(command) != 0) {
        vx::printf("Error while receiving file with XMODEM.\n");
        return 1;
    }
    vx::printf("\n\nXMODEM transfer complete, checking CRC....\n");
    return configStore(CONFIG_LOAD_FILE);
}

int configStore(const char* path)
{
    /* The copy keeps the saved configuration unless it completes. */
    return cliTxtCfgCopyConfig(path, nullptr, 1) == OSAPI_FILE_OK ? 0 : 1;
}
