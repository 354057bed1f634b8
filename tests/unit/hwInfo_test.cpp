// The PCI bus display and the core information display over the board model.
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/hwInfo.h"
#include "host/board/board.h"
#include "osapi.h"
#include "support/testBoard.h"
#include "support/textCheck.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class HwInfo : public TestBoard {
protected:
    std::string pci(int detail)
    {
        takeOutput();
        pciBusShow(detail);
        return takeText();
    }
    std::string core()
    {
        takeOutput();
        coreInfoShow();
        return takeText();
    }
    void add(uint8_t bus, uint8_t dev, uint16_t vendor, uint16_t device)
    {
        host::board().pci().addFunction({bus, dev, 0, vendor, device, 0x020000, 1, 0, 0, 0});
    }
};

// The board's own three devices are named in the system utilities test.
TEST_F(HwInfo, PciNameTableAndProbedRange)
{
    host::board().pci().powerOn();
    add(0, 31, 0x8086, 0x100E); // device 31 is never probed
    add(0, 3, 0x1057, 0x0006);
    add(0, 4, 0x14E4, 0x5694); // a vendor with names, a device without
    add(0, 5, 0x10B7, 0x9200);
    add(0, 7, 0x1234, 0x5678);
    add(200, 30, 0x8086, 0x100E);
    EXPECT_EQ(pci(0), "Motorola \n"
                      "Motorola MPC8245\n"
                      "Broadcom \n"
                      "3Com Device 0x9200\n"
                      "\nUnknown device found. VendorId=0x1234 DeviceId=0x5678 \n"
                      "Broadcom BCM5695\n"
                      "Broadcom BCM5695\n"
                      "Intel Device 0x100e\n");
}

TEST_F(HwInfo, PciDetailShowsIdsFunctionAndHeader)
{
    std::string out = pci(1);
    std::string second = "\n\nbus       device    function  vendorID  deviceID  class\n"
                         "00000000  00000011  00000000  000014e4  00005695  00020000\n\n"
                         "Broadcom BCM5695\n"
                         "[0,17,0] type=NETWORK_CONTROLLER\n";
    size_t at = out.find(second);
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_EQ(out.rfind("\n\nbus       device", 0), 0u) << "the host bridge first";
    size_t header = out.find("vendor ID =                   0x14e4\n", at);
    EXPECT_NE(header, std::string::npos);
    EXPECT_NE(out.find("base address 0 =              0x80000000\n", header), std::string::npos);
    EXPECT_HAS(out, "00000000  00000012  00000000  000014e4  00005695  00020000");
}

TEST_F(HwInfo, CoreInformationOfTheModelledBoard)
{
    EXPECT_EQ(core(), "MSR - 0x29000\n"
                      "      UCLE-0 SPE-0 WE-0 CE-1 EE-1 PR-0 ME-1\n"
                      "      UBLE-0 DE-0 IS-0 DS-0 PMM-0\n"
                      "HID0 = 0x80004000, HID1 = 0x14001000\n"
                      "L1CSR0: cache is ON - 0x1\n"
                      "L1CSR1: Icache is ON - 0x1\n"
                      "L1CFG0 = 0x8583820, L1CFG1 = 0x583820\n"
                      "L2CTL - 0xa8000000\n"
                      "        l2 is ON\n"
                      "        l2siz-2 l2blksz-2 l2do-0 l2io-0\n"
                      "        l2pmextdis-0 l2intdis-0 l2sram-0\n"
                      "L2SRBAR0 - 0x0\n"
                      "L2SRBAR1 - 0x0\n"
                      "Core Freq = 825000000 Hz\n"
                      "CCB Freq = 330000000 Hz\n"
                      "PCI Freq = 66000000 Hz\n"
                      "CPM Freq = 330000000 Hz\n");

    // Bits as they change: interrupts locked, instruction cache off, L2 off.
    int key = vx::intLock();
    vx::vxL1csr1Set(0);
    host::board().l2().write(0, 4, 0x000B0000); // l2intdis, l2sram 3
    std::string out = core();
    vx::intUnlock(key);
    EXPECT_HAS(out, "MSR - 0x1000\n      UCLE-0 SPE-0 WE-0 CE-0 EE-0 PR-0 ME-1\n");
    EXPECT_HAS(out, "L1CSR1: Icache is OFF - 0x0\n");
    EXPECT_HAS(out, "L2CTL - 0x200b0000\n        l2 is OFF\n        l2siz-2 l2blksz-0 l2do-0 l2io-0\n"
                       "        l2pmextdis-0 l2intdis-1 l2sram-3\n");
}

TEST_F(HwInfo, ClockRatios)
{
    auto& ccsr = host::board().ccsr();
    struct Case {
        uint32_t plat, core;
        int32_t ccb;
        long long coreHz;
    };
    const Case cases[] = {
        {2, 4, 132000000, 264000000},   {10, 6, 660000000, 1980000000}, {12, 7, 792000000, 2772000000LL},
        {16, 7, 1056000000, 3696000000LL}, // beyond 32 bits, printed whole
        {5, 3, 330000000, 0},           {5, 9, 330000000, 0},           {8, 5, 528000000, 1320000000},
    };
    for (const auto& c : cases) {
        ccsr.setPorPllSr(c.core << 16 | c.plat << 1);
        EXPECT_EQ(ccbFreqGet(), c.ccb) << c.plat;
        char want[80];
        std::snprintf(want, sizeof want, "Core Freq = %3lld Hz\nCCB Freq = %3d Hz\n", c.coreHz, int(c.ccb));
        std::string out = core();
        EXPECT_HAS(out, want);
    }

    // Invalid platform ratios give -1 and leave the stored core clock alone.
    for (uint32_t plat : {0u, 1u, 11u, 13u, 15u, 17u, 31u}) {
        ccsr.setPorPllSr(5u << 16 | 5u << 1);
        ccbFreqGet();
        ccsr.setPorPllSr(5u << 16 | plat << 1);
        EXPECT_EQ(ccbFreqGet(), -1) << plat;
        std::string out = core();
        EXPECT_HAS(out, "Core Freq = 825000000 Hz\nCCB Freq =  -1 Hz\nPCI Freq = 66000000 Hz\nCPM Freq =  -1 Hz\n");
    }
}

} // namespace
