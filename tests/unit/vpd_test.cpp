// VPD EEPROM: read, dump and programming, through the real drivers and the
// EEPROM model, with a scripted person at the console.
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/i2cLib.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/vpd.h"
#include "host/board/board.h"
#include "support/i2cBoard.h"
#include "support/textCheck.h"

#include <cstring>

namespace {

using Image = host::At24c02::Image;

class Vpd : public I2cBoard {
protected:
    Image eeprom() { return host::board().eeprom().contents(); }
    void load(const Image& img) { host::board().eeprom().setContents(img); }
};

TEST_F(Vpd, DumpShowsTheBytesAndTheRecords)
{
    ASSERT_EQ(vpdDump(0, 256), 0);
    std::string out = console();
    EXPECT_EQ(out.rfind("\n00:ff 01 e0 01 1a 54 41 52 4e 38 35 34 31 20 53 57 -----TARN8541 SW\n10:", 0), 0u)
        << out;
    EXPECT_HAS(out, "\nf0:ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ----------------\n"
                    "VPD begins at offset 0 \n"
                    "\nProduct Name:TARN8541 SWITCH CONTROLLER\nPart Number:TN-8541-001"
                    "\nSerial Number:TB0000000001\nMAC: 02-54-41-52-4e-01\nMfg Year: 2008 Week: 17"
                    "\nCard Type: 0x00008541\nHardware Revision: 0x01");
    EXPECT_NE(out.back(), '\n') << "no line feed after the last decoded line";
}

TEST_F(Vpd, DumpStaysInsideTheImage)
{
    Image img;
    img.fill(0xFF);
    EXPECT_EQ((load(img), vpdDump(0, 256)), 0);
    EXPECT_LACKS(console(), "VPD begins") << "blank EEPROM: no marker";

    img[254] = 0xFF, img[255] = 0x01; // a marker would need offset 256
    img[0] = 0x00;
    img[253] = 0xFF, img[254] = 0x01, img[255] = 0xE0;
    load(img);
    ASSERT_EQ(vpdDump(0, 256), 0);
    EXPECT_HAS(console(), "VPD begins at offset 253 \n");

    // Over-long text, an unknown type and a record running past the end.
    img.fill(0);
    img[10] = 0xFF, img[11] = 0x01, img[12] = 0xE0;
    img[13] = 1, img[14] = 40;
    for (int i = 0; i < 40; ++i) img[15 + i] = uint8_t('A' + i % 26);
    img[55] = 0x42, img[56] = 0; // unknown, empty
    img[57] = 3, img[58] = 250;  // runs past offset 255
    load(img);
    ASSERT_EQ(vpdDump(0, 300), 0) << "count is held to the image";
    std::string out = console();
    EXPECT_HAS(out, "VPD begins at offset 10 \n\nProduct Name:ABCDEFGHIJKLMNOPQRSTUVWXYZABCDE\nRecord type 3 "
                    "at offset 57 runs past the end of the EEPROM");
    EXPECT_HAS(out, "\n00:00 00 00 00 00 00 00 00 00 00 ff 01 e0 01 28 41 --------------(A\n");

    host::board().i2cBus().setNotAcknowledging(0x51, true);
    EXPECT_EQ(vpdDump(0, 256), -1);
    EXPECT_EQ(console(), "");
}

TEST_F(Vpd, AnsweringNoRewritesTheSameImage)
{
    Image before = eeprom();
    peer().type("n\nn\n");
    ASSERT_EQ(vpdGenerate(), 0);
    EXPECT_EQ(eeprom(), before);
    std::string out = console();
    EXPECT_HAS(out, "MAC address ( 02:54:41:52:4E:01 ) will be used. (y/n): ");
    EXPECT_HAS(out, "serial number ( TB0000000001) will be used. (y/n): ");
}

// A new MAC and a serial of the same length, changing only their bytes, are
// programmed in the system I2C test.
TEST_F(Vpd, SerialOfAnotherLengthMovesTheLaterRecords)
{
    Image before = eeprom();
    int rec3 = 3 + 28 + 13;
    peer().type("n\ny\nTB000000000123\n");
    ASSERT_EQ(vpdGenerate(), 0);
    Image after = eeprom();
    EXPECT_EQ(after[rec3 + 1], 14);
    for (int i = rec3 + 2 + 12; i < 254; ++i) EXPECT_EQ(after[i + 2], before[i]) << i;

    peer().type("n\ny\n\n");
    ASSERT_EQ(vpdGenerate(), 0);
    Image empty = eeprom();
    EXPECT_EQ(empty[rec3], 3);
    EXPECT_EQ(empty[rec3 + 1], 0) << "an empty serial number";
    EXPECT_EQ(empty[rec3 + 2], 4);
    EXPECT_EQ(empty[254], 0);
    EXPECT_EQ(empty[255], 0) << "bytes left over at the end are 0";
}

TEST_F(Vpd, OverlongLinesAreDiscardedWholly)
{
    // A 22-character MAC line is one wrong answer, not two; a serial number
    // over 20 characters is refused and its tail is not the next answer; a
    // 20-character serial leaves no line end behind.
    peer().type("y\n0006293281401234567890\n0006293281zz\n000629328140\ny\nABCDEFGHIJKLMNOPQRSTUVWXY11\n"
                "ABCDEFGHIJKLMNOPQRST\n");
    ASSERT_EQ(vpdGenerate(), 0);
    std::string out = console();
    EXPECT_EQ(textcheck::count(out, "ERROR: Invalid MAC address length."), 1) << out;
    EXPECT_EQ(textcheck::count(out, "ERROR: Invalid characters in the MAC address."), 1) << out;
    EXPECT_HAS(out, "Entered MAC: 00:06:29:32:81:40 \n");
    EXPECT_EQ(textcheck::count(out, "Serial number longer than 20 characters."), 1) << out;
    EXPECT_EQ(textcheck::count(out, "Enter a serial number"), 2) << out;
    Image after = eeprom();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&after[3 + 28 + 13 + 2]), 20), "ABCDEFGHIJKLMNOPQRST");
    peer().type("7\n");
    char line[80];
    ASSERT_NE(vx::fgetsStdin(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "7\n") << "nothing of the dialog's lines is left over";
}

TEST_F(Vpd, RefusesAnEepromWithoutValidRecords)
{
    Image blank;
    blank.fill(0xFF);
    load(blank);
    EXPECT_EQ(vpdGenerate(), -1);
    EXPECT_HAS(console(), "ERROR: The VPD EEPROM holds no valid VPD");
    EXPECT_EQ(eeprom(), blank);

    Image longSerial = host::At24c02::factoryImage();
    int rec3 = 3 + 28 + 13;
    Image moved = longSerial;
    moved[rec3 + 1] = 21; // serial over 20 characters
    load(moved);
    EXPECT_EQ(vpdGenerate(), -1);
    EXPECT_EQ(eeprom(), moved);

    Image swapped = longSerial;
    swapped[3] = 2; // record 1 missing
    load(swapped);
    EXPECT_EQ(vpdGenerate(), -1);

    load(longSerial);
    host::board().i2cBus().setNotAcknowledging(0x51, true);
    EXPECT_EQ(vpdGenerate(), -1);
    EXPECT_HAS(console(), "ERROR: Cannot read the VPD EEPROM. Nothing written.\n");
}

TEST_F(Vpd, EndOfInputAbandonsTheDialogWithoutWriting)
{
    Image before = eeprom();
    uint64_t cycles = host::board().i2cBus().addressCycles();
    peer().type("y\n");
    EXPECT_EQ(vpdGenerate(), -1);
    EXPECT_HAS(console(), "ERROR: End of input. VPD not changed.");
    EXPECT_EQ(eeprom(), before);
    EXPECT_LT(host::board().i2cBus().addressCycles() - cycles, 10u) << "only the read";
}

} // namespace
