// Flash disk setup over the NOR model: format when the region holds no
// format, mount without one when it does, losing the file system with its
// first sectors or a cut format, the adapters' checks and the progress display.
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/tffs.h"

#include "bsp/cpu/tarn8541/vxworks/mpc85xx/flashDev.h"
#include "host/board/board.h"
#include "host/os/hostos.h"
#include "osapi.h"
#include "support/deviceBoards.h"
#include "support/textCheck.h"

#include <cstring>
#include <filesystem>

namespace {

class Tffs : public FlashBoard {
protected:
    bool recordPresent() { return std::memcmp(nor().store().data(), "TARNFTL1", 8) == 0; }
};

TEST_F(Tffs, BlankRegionIsFormattedThenMountsUntilItsFirstSectorsAreErased)
{
    writeHostFile("old.txt", "left from before");
    ASSERT_EQ(tffsPPCInit(), 0);
    EXPECT_HAS(takeText(), "\rFormatting ... 0%\rFormatting ... 0%\rFormatting ... 1%"); // the rest: flash system test
    EXPECT_EQ(nor().counters().sectorErases, 240u) << "every unit of the 30 MB region";
    EXPECT_TRUE(recordPresent());
    EXPECT_TRUE(nor().bootCodePresent()) << "the format never touches the boot code";
    EXPECT_FALSE(std::filesystem::exists(boardDir + "/DskVol/files")) << "the volume was emptied";
    ASSERT_EQ(vx::chdir("/DskVol/"), 0);
    vx::close(vx::open("probe", vx::RDWR | vx::CREAT, 0));
    nor().counters() = {};
    ASSERT_EQ(tffsPPCInit(), 0);
    EXPECT_EQ(takeText(), "\n\n") << "a formatted flash disk mounts at once";
    EXPECT_EQ(nor().counters().sectorErases + nor().counters().bufferPrograms, 0u);
    ASSERT_EQ(vx::mkdir("files"), 0);
    ASSERT_EQ(vx::chdir("files"), 0);
    EXPECT_EQ(Flash_Erase(0xFE000000, 0xFE040000), 0);
    EXPECT_FALSE(recordPresent());
    ASSERT_EQ(tffsPPCInit(), 0);
    EXPECT_HAS(takeText(), "formatting...");
    EXPECT_FALSE(std::filesystem::exists(boardDir + "/DskVol/probe"));
    // The current directory stays "/DskVol/files", which is gone: file calls fail.
    EXPECT_LT(vx::open("new", vx::RDWR | vx::CREAT, 0), 0);
    EXPECT_EQ(vx::errnoGet(), vx::E_NOENT);
}

TEST_F(Tffs, CutOrFailedFormatNeverLeavesAFormattedVolume)
{
    writeHostFile("old.txt", "x");
    host::NorFlash::Faults f;
    f.powerCutAfterOps = 100;
    nor().setFaults(f);
    EXPECT_THROW(tffsPPCInit(), host::PowerCutRequested);
    host::board().powerOn(); // the next start, from nor.bin
    EXPECT_EQ(nor().deadReason(), "") << "a cut in the flash disk leaves the board bootable";
    flashDevReset();
    ASSERT_EQ(flashDevProbe(), 0);
    takeText();
    EXPECT_FALSE(recordPresent());
    ASSERT_EQ(tffsPPCInit(), 0);
    EXPECT_HAS(takeText(), "formatting...");
    EXPECT_FALSE(hostFileExists("old.txt"));
    ASSERT_EQ(Flash_Erase(0xFE000000, 0xFE000000), 0);
    f = {};
    f.erase = host::NorFlash::Fault::Fail;
    nor().setFaults(f);
    EXPECT_THROW(tffsPPCInit(), host::TaskSuspended);
    std::string out = takeText();
    EXPECT_HAS(out, "lb4gErase:flashDevSectorErase failed for block 0\n");
    EXPECT_HAS(out, "tffsDevFormat returned 0x1d\n");
    EXPECT_FALSE(recordPresent());
}

TEST_F(Tffs, AdaptersStayInsideTheFlashDiskAndNeedTheProbeAndSocketsHoldFive)
{
    vx::FlSocket sock{};
    sock.writeProtected = [](vx::FlSocket*) { return 0; };
    vx::FlFlash flash{};
    ASSERT_EQ(tffsIdentify(&sock, &flash), 0);
    EXPECT_EQ(flash.map(&flash, 0x100, 2), 0xFE000100u);
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8}, ones[2] = {0xFF, 0xFF};
    EXPECT_EQ(flash.write(&flash, 0x100, data, 8), vx::FL_OK);
    EXPECT_EQ(nor().store().word(0x100), 0x0102);
    EXPECT_EQ(flash.write(&flash, (30u << 20) - 4, data, 8), vx::FL_WRITE_FAULT) << "into the boot area";
    EXPECT_EQ(flash.write(&flash, 0x200, data, 3), vx::FL_WRITE_FAULT) << "odd length";
    EXPECT_EQ(flash.write(&flash, 0x100, ones, 2), vx::FL_WRITE_FAULT) << "bits cannot be set";
    EXPECT_HAS(takeText(), "\nMTD write failed, address 0xffdffffc, size 8\n");
    EXPECT_EQ(flash.erase(&flash, 239, 1), vx::FL_OK);
    EXPECT_EQ(flash.erase(&flash, 239, 2), vx::FL_WRITE_FAULT) << "unit 240 is the boot area";
    EXPECT_HAS(takeText(), "lb4gErase:flashDevSectorErase failed for block 240\n");
    EXPECT_TRUE(nor().bootCodePresent());
    sock.writeProtected = [](vx::FlSocket*) { return 1; };
    EXPECT_EQ(flash.write(&flash, 0x100, data, 8), vx::FL_WRITE_PROTECT);
    EXPECT_EQ(flash.erase(&flash, 0, 1), vx::FL_WRITE_PROTECT);
    EXPECT_EQ(tffsFormatProgress(0, 0), 0) << "a format without units divides by nothing";
    flashDevReset();
    EXPECT_NE(vx::usrTffsConfig(0, 0, "/DskVol/"), 0);
    EXPECT_EQ(takeText(), "Device is not initialized yet !!\ntffsDevCreate failed.\n");
    static vx::FlSocket more[5];
    int rc = 0, accepted = 0;
    for (auto& s : more) accepted += (rc = vx::tffsSocketRegister(&s)) == vx::FL_OK;
    EXPECT_EQ(accepted, 4) << "one is the board's own";
    EXPECT_EQ(rc, vx::FL_TOO_MANY_COMPONENTS);
    host::tffsStart();
}

} // namespace
