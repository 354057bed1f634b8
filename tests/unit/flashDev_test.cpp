// Boot flash driver over the NOR model: probe and geometry checks, write
// alignment, erase ranges, status failures and range checks.
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/flashDev.h"
#include "host/board/board.h"
#include "host/os/hostos.h"
#include "osapi.h"
#include "support/flashBoard.h"
#include "support/textCheck.h"
#include "sysBus.h"

#include <vector>

namespace {

class FlashDev : public FlashBoard {
protected:
    uint16_t word(uint32_t addr) { return nor().store().word(addr - FLASH_BASE); }
    static std::vector<uint8_t> pattern(size_t n, uint8_t seed)
    {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7 + (i >> 8));
        return v;
    }
};

TEST_F(FlashDev, ProbeReadsTheGeometryFromTheQueryTable)
{
    const FlashDevDesc* d = flashDevDescGet();
    EXPECT_EQ(d->initialised, 1u);
    EXPECT_EQ(d->deviceId, uint32_t(host::NorFlash::kDeviceId) << 8 | host::NorFlash::kManufacturerId);
    EXPECT_EQ(d->chipSize, 32u << 20);
    EXPECT_EQ(d->bufferSize, 64u);
    ASSERT_EQ(d->regionCount, 1u);
    EXPECT_EQ(d->regions[0].sectorCount, 256u);
    EXPECT_EQ(d->regions[0].sectorSize, 0x20000u);
    EXPECT_EQ(d->regions[0].firstAddr, 0xFE000000u);
    EXPECT_EQ(d->regions[0].lastAddr, 0xFFFFFFFFu);
    EXPECT_EQ(d->regions[0].lastSector, 255u);
    EXPECT_EQ(d->fdFlashType, d->deviceId & 0xFFFF);
    EXPECT_EQ(d->fdSize, 30u << 20) << "the top 2 MB stay with the boot code";
    EXPECT_EQ(d->fdEraseUnitSize, 0x20000u);
    EXPECT_EQ(d->fdWindowBase, 0xFE000000u);
    EXPECT_EQ(d->fdReady, 1u);

    EXPECT_EQ(flashDevProbe(), 0);
    EXPECT_EQ(nor().counters().reads + nor().counters().writes, 0u) << "a second probe touches nothing";
    uint8_t b = 0;
    ASSERT_EQ(sysBusRead8(0xFFF00000, &b), 0);
    EXPECT_EQ(b, 't') << "left in read-array: the boot code reads directly";
}

TEST_F(FlashDev, UnusableQueryTablesAreRefused)
{
    struct Case {
        uint32_t word;
        uint8_t value;
        const char* why;
    } cases[] = {
        {0x10, 0x00, "no CFI signature"},
        {0x2A, 0x00, "a 1-byte write buffer (no whole word)"},
        {0x2A, 0x20, "a write buffer exponent of 32"},
        {0x27, 0x20, "a size exponent of 32"},
        {0x27, 0x1A, "a device larger than its window"},
        {0x2C, 0x00, "no erase region"},
        {0x2C, 0x05, "more erase regions than the table holds"},
        {0x30, 0x00, "a sector size of 0"},
        {0x2E, 0x01, "regions beyond the device"},
    };
    for (const Case& c : cases) {
        host::board().powerOn();
        nor().patchQuery(c.word, c.value);
        flashDevReset();
        EXPECT_EQ(flashDevProbe(), -1) << c.why;
        EXPECT_HAS(text(), "flashDevProbe: CFI query failed\n") << c.why;
        uint8_t w[2] = {0, 0};
        EXPECT_EQ(flashDevWrite(0xFE000000, w, 2), -1) << c.why;
        EXPECT_EQ(flashDevSectorErase(0), -1) << c.why;
        EXPECT_EQ(flashDevErase(0xFE000000, 2), -1) << c.why;
        EXPECT_EQ(text(), "Device is not initialized yet\nDevice is not initialized yet\n"
                                "Device is not initialized yet\n")
            << c.why;
        EXPECT_EQ(nor().store().word(0), 0xFFFF) << c.why;
    }
}

TEST_F(FlashDev, UnalignedWriteUsesWordsThenWholeBuffers)
{
    auto data = pattern(200, 3);
    ASSERT_EQ(flashDevWrite(0xFE000002, data.data(), uint32_t(data.size())), 0);
    EXPECT_EQ(nor().counters().wordPrograms, 31u) << "single words up to the buffer boundary";
    EXPECT_EQ(nor().counters().bufferPrograms, 3u) << "two whole buffers and a partial one";
    for (size_t i = 0; i < data.size(); i += 2)
        ASSERT_EQ(word(0xFE000002 + uint32_t(i)), data[i] << 8 | data[i + 1]) << i;
    EXPECT_EQ(word(0xFE000000), 0xFFFF);
    EXPECT_EQ(word(0xFE000002 + 200), 0xFFFF);
    EXPECT_EQ(text(), "");

    flashDevBufferedWriteSet(0);
    ASSERT_EQ(flashDevWrite(0xFE010000, data.data(), 64), 0);
    EXPECT_EQ(nor().counters().wordPrograms, 31u + 32u) << "word by word with the buffer off";
    EXPECT_EQ(nor().counters().bufferPrograms, 3u);
    EXPECT_EQ(word(0xFE01003E), data[62] << 8 | data[63]);
    flashDevBufferedWriteSet(1);

    EXPECT_EQ(flashDevWrite(0xFE001000, data.data(), 0), 0) << "size 0 writes nothing";
    nor().counters() = {};
    EXPECT_EQ(flashDevWrite(0xFE001001, data.data(), 2), -1);
    EXPECT_EQ(flashDevWrite(0xFE001000, data.data(), 3), -1);
    EXPECT_EQ(flashDevWrite(0xFFFFFFFE, data.data(), 4), -1) << "runs past the device";
    EXPECT_EQ(flashDevWrite(0xF0000000, data.data(), 2), -1) << "not the flash";
    EXPECT_EQ(nor().counters().writes, 0u) << "refused before touching the device";
    std::string out = text();
    EXPECT_HAS(out, "flashDevWrite: address or size error, address fe001001 size 2\n");
    EXPECT_HAS(out, "flashDevWrite: address or size error, address fe001000 size 3\n");
    EXPECT_HAS(out, "address fffffffe size 4\n");
}

TEST_F(FlashDev, WriteAtTheTopOfTheAddressSpaceEndsThere)
{
    ASSERT_EQ(sysBusWrite32(0, 0x12345678), 0);
    ASSERT_EQ(flashDevSectorErase(255), 0);
    auto data = pattern(64, 9);
    ASSERT_EQ(Flash_Write_Block(data.data(), 0xFFFFFFC0, 64), 0);
    EXPECT_EQ(word(0xFFFFFFFE), data[62] << 8 | data[63]);
    uint32_t v = 0;
    ASSERT_EQ(sysBusRead32(0, &v), 0);
    EXPECT_EQ(v, 0x12345678u) << "the final reset must not wrap to address 0";
}

TEST_F(FlashDev, EraseCoversBothEndsAndChecksTheRange)
{
    auto data = pattern(8, 1);
    ASSERT_EQ(flashDevWrite(0xFE060000, data.data(), 8), 0); // sector 3
    nor().counters() = {};
    EXPECT_EQ(flashDevErase(0xFE000000, 0x40000), 0);
    EXPECT_EQ(nor().counters().sectorErases, 3u) << "through the sector holding the end address";
    EXPECT_EQ(word(0xFE060000), data[0] << 8 | data[1]);

    nor().counters() = {};
    EXPECT_EQ(Flash_Erase(0xFFF00000, 0xFFFFFFFF), 0);
    EXPECT_EQ(nor().counters().sectorErases, 8u) << "exactly the top megabyte";
    EXPECT_EQ(word(0xFFFFFFFC), 0xFFFF);
    EXPECT_EQ(word(0xFFEFFFFE), 0xFFFF);

    nor().counters() = {};
    EXPECT_EQ(flashDevErase(0x1000, 0x10), -1);
    EXPECT_EQ(flashDevErase(0xFFF00000, 0x200000), -1) << "end wraps past the top";
    EXPECT_EQ(Flash_Erase(0xFE040000, 0xFE000000), -1) << "end before start";
    EXPECT_EQ(flashDevSectorErase(256), -1);
    EXPECT_EQ(nor().counters().writes, 0u);
    std::string out = text();
    EXPECT_HAS(out, "spfSectorNumGet: invalid address 1000\n");
    EXPECT_HAS(out, "flashDevErase: spfSectorNumGet() failed for address 0x1000\n");
    EXPECT_HAS(out, "Flash_Erase: flashDevErase() failed\n");
    EXPECT_HAS(out, "spfSectorAdrsGet: invalid sector 256\n");
    EXPECT_HAS(out, "flashDevSectorErase: spfSectorAdrsGet() failed for sector 256\n");
}

TEST_F(FlashDev, FailedOperationsAreReportedAndLeaveReadArray)
{
    host::NorFlash::Faults f;
    f.program = host::NorFlash::Fault::Fail;
    nor().setFaults(f);
    auto data = pattern(64, 5);
    EXPECT_EQ(Flash_Write_Block(data.data(), 0xFE000000, 64), -1);
    std::string out = text();
    EXPECT_HAS(out, "spfOpStatusCheck: FAILED for operation 1 at address 0xfe00003e\n");
    EXPECT_HAS(out, "flashDevWrite: spfOpStatusCheck() failed at adrs 0xfe000000\n");
    EXPECT_HAS(out, "Flash_Write_Block: flashDevWrite() failed\n");
    EXPECT_EQ(flashDevWrite(0xFE000002, data.data(), 2), -1);
    EXPECT_HAS(text(), "FAILED for operation 2");

    f = {};
    f.erase = host::NorFlash::Fault::Fail;
    nor().setFaults(f);
    EXPECT_EQ(flashDevSectorErase(4), -1);
    EXPECT_HAS(text(), "flashDevSectorErase: spfOpStatusCheck() failed for sector 4 (adrs 0xfe080000) \n");
    uint8_t b = 0;
    ASSERT_EQ(sysBusRead8(0xFFF00000, &b), 0);
    EXPECT_EQ(b, 't') << "back in read-array after each failure";

    // DQ5 in the very read that completes the operation: DQ7 read again shows it done.
    f.program = f.erase = host::NorFlash::Fault::Race;
    nor().setFaults(f);
    EXPECT_EQ(flashDevSectorErase(0), 0);
    EXPECT_EQ(flashDevWrite(0xFE000000, data.data(), 64), 0) << "the driver's lock was given back";
    EXPECT_EQ(flashDevWrite(0xFE000042, data.data(), 2), 0);
    EXPECT_EQ(text(), "");
    EXPECT_EQ(word(0xFE00003E), data[62] << 8 | data[63]);
}

TEST_F(FlashDev, AnOperationThatNeverEndsTimesOut)
{
    host::NorFlash::Faults f;
    f.erase = host::NorFlash::Fault::Hang;
    nor().setFaults(f);
    EXPECT_EQ(flashDevSectorErase(0), -1);
    EXPECT_EQ(nor().counters().statusReads, uint64_t(FLASH_STATUS_POLLS));
    EXPECT_HAS(text(), "spfOpStatusCheck: TIMEOUT for operation 3 at address 0xfe000000\n");
}

TEST_F(FlashDev, WriteBufferAbortIsResetByTheStatusCheck)
{
    // A buffer load that leaves its page puts the device in the abort state.
    sysBusWrite16(0xFE000AAA, 0xAA);
    sysBusWrite16(0xFE000554, 0x55);
    sysBusWrite16(0xFE000000, 0x25);
    sysBusWrite16(0xFE000000, 1);
    sysBusWrite16(0xFE000000, 0x1234);
    sysBusWrite16(0xFE000040, 0x1234);
    EXPECT_EQ(spfOpStatusCheck(FLASH_OP_BUFFER, 0xFE000000, 0x1234), -1);
    EXPECT_HAS(text(), "spfOpStatusCheck: ABORT for buffer write at address 0xfe000000\n");
    uint16_t w = 0;
    ASSERT_EQ(sysBusRead16(0xFFF00000, &w), 0);
    EXPECT_EQ(w, 't' << 8 | 'a') << "abort reset done: read-array again";
}

} // namespace
