// Boot code update: all but a whole boot code is refused before the erase. (The written region
// and every cut: the flashDev sweep; a failing erase or write: the flash system tests.)
#include "image/bootCodeUpdate.h"

#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/board/board.h"
#include "osapi.h"
#include "support/deviceBoards.h"
#include "support/textCheck.h"

namespace {

class BootCodeUpdate : public FlashBoard {
protected:
    void SetUp() override
    {
        FlashBoard::SetUp();
        flashAccessLockCreate();
    }
    std::string bootRegion() const
    {
        const uint8_t* p = host::board().nor().store().data() + host::NorStore::kBootRegion;
        return std::string(reinterpret_cast<const char*>(p), BOOT_FLASH_SIZE);
    }
};

// Only a whole region with a reset vector leaves a board that starts: a shorter file (100,000
// bytes from an image tool) used to be written and reported as updated, leaving the reset vector
// erased; so did a whole region whose reset vector is erased.
TEST_F(BootCodeUpdate, AnythingButAWholeBootCodeIsRefusedBeforeTheErase)
{
    const std::string factory = bootRegion();
    const std::pair<std::string, const char*> cases[] = {
        {"", "is 0 bytes; a boot code fills the boot flash's 1048576 bytes (0x100000) exactly"},
        {textcheck::noise(100000), "is 100000 bytes"},
        {textcheck::noise(BOOT_FLASH_SIZE - 4) + std::string(4, '\xFF'), "ends in 0xFFFFFFFF"},
        {textcheck::noise(BOOT_FLASH_SIZE - 2), "is 1048574 bytes"},
        {textcheck::noise(BOOT_FLASH_SIZE + 2), "is 1048578 bytes"},
    };
    for (const auto& [bytes, message] : cases) {
        writeHostFile("bootcode.bin", bytes);
        EXPECT_EQ(bootCodeUpdate("bootcode.bin"), BOOT_UPDATE_BAD_FILE) << message;
        std::string out = takeText();
        EXPECT_HAS(out, message);
        EXPECT_TRUE(out.ends_with("The boot flash is left as it is.\n") && textcheck::lacks(out, "Erasing")) << out;
    }
    EXPECT_EQ(bootCodeUpdate("missing.bin"), BOOT_UPDATE_NO_FILE);
    ASSERT_EQ(vx::mkdir("adir"), 0);
    EXPECT_NE(bootCodeUpdate("adir"), BOOT_UPDATE_OK) << "a directory is no boot code";
    EXPECT_EQ(nor().counters().writes, 0u) << "the flash was never touched";
    EXPECT_EQ(bootRegion(), factory);
}

} // namespace
