// VPD EEPROM: read, dump and programming, through the real drivers and the
// EEPROM model, with a scripted person at the console.
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/i2cLib.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/vpd.h"
#include "host/board/board.h"
#include "support/i2cBoard.h"

#include <cstring>

namespace {

using Image = host::At24c02::Image;

class Vpd : public I2cBoard {
protected:
    Image eeprom() { return host::board().eeprom().contents(); }
    void load(const Image& img) { host::board().eeprom().setContents(img); }
    static int count(const std::string& s, const std::string& what)
    {
        int n = 0;
        for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
        return n;
    }
};

TEST_F(Vpd, DumpShowsTheBytesAndTheRecords)
{
    ASSERT_EQ(vpdDump(0, 256), 0);
    std::string out = console();
    EXPECT_EQ(out.rfind("\n00:ff 01 e0 01 1a 54 41 52 4e 38 35 34 31 20 53 57 -----TARN8541 SW\n10:", 0), 0u)
        << out;
    EXPECT_NE(out.find("\nf0:ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ----------------\n"
                       "VPD begins at offset 0 \n"
                       "\nProduct Name:TARN8541 SWITCH CONTROLLER\nPart Number:TN-8541-001"
                       "\nSerial Number:TB0000000001\nMAC: 02-54-41-52-4e-01\nMfg Year: 2008 Week: 17"
                       "\nCard Type: 0x00008541\nHardware Revision: 0x01"),
              std::string::npos)
        << out;
    EXPECT_NE(out.back(), '\n') << "no line feed after the last decoded line";
}

TEST_F(Vpd, DumpStaysInsideTheImage)
{
    Image img;
    img.fill(0xFF);
    EXPECT_EQ((load(img), vpdDump(0, 256)), 0);
    EXPECT_EQ(console().find("VPD begins"), std::string::npos) << "blank EEPROM: no marker";

    img[254] = 0xFF, img[255] = 0x01; // a marker would need offset 256
    img[0] = 0x00;
    img[253] = 0xFF, img[254] = 0x01, img[255] = 0xE0;
    load(img);
    ASSERT_EQ(vpdDump(0, 256), 0);
    EXPECT_NE(console().find("VPD begins at offset 253 \n"), std::string::npos);

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
    EXPECT_NE(out.find("VPD begins at offset 10 \n\nProduct Name:ABCDEFGHIJKLMNOPQRSTUVWXYZABCDE\nRecord type 3 "
                       "at offset 57 runs past the end of the EEPROM"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\n00:00 00 00 00 00 00 00 00 00 00 ff 01 e0 01 28 41 --------------(A\n"), std::string::npos);

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
    EXPECT_NE(out.find("MAC address ( 02:54:41:52:4E:01 ) will be used. (y/n): "), std::string::npos) << out;
    EXPECT_NE(out.find("serial number ( TB0000000001) will be used. (y/n): "), std::string::npos) << out;
}

TEST_F(Vpd, NewMacAndSameLengthSerialChangeOnlyTheirBytes)
{
    Image before = eeprom();
    peer().type("y\n12345\n0006293281zz\n000629328140\ny\nSN-1\nAB0000000042\n");
    ASSERT_EQ(vpdGenerate(), 0);
    std::string out = console();
    EXPECT_NE(out.find("ERROR: Invalid MAC address length.\n\n"), std::string::npos);
    EXPECT_NE(out.find("ERROR: Invalid characters in the MAC address.\n\n"), std::string::npos);
    EXPECT_NE(out.find("Entered MAC: 00:06:29:32:81:40 \n"), std::string::npos);
    EXPECT_NE(out.find("\nIllegal char - in input.\n\n"), std::string::npos);
    Image after = eeprom();
    int serialAt = 3 + 28 + 13 + 2, macAt = serialAt + 12 + 2;
    for (int i = 0; i < 256; ++i) {
        if (i >= serialAt && i < serialAt + 12) continue;
        if (i >= macAt && i < macAt + 6) continue;
        EXPECT_EQ(after[i], before[i]) << "offset " << i;
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&after[serialAt]), 12), "AB0000000042");
    const uint8_t mac[6] = {0x00, 0x06, 0x29, 0x32, 0x81, 0x40};
    EXPECT_EQ(0, std::memcmp(&after[macAt], mac, 6));
}

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
    peer().type("y\n0006293281401234567890\n000629328140\ny\nABCDEFGHIJKLMNOPQRSTUVWXY11\nABCDEFGHIJKLMNOPQRST\n");
    ASSERT_EQ(vpdGenerate(), 0);
    std::string out = console();
    EXPECT_EQ(count(out, "ERROR: Invalid MAC address length."), 1) << out;
    EXPECT_EQ(count(out, "Serial number longer than 20 characters."), 1) << out;
    EXPECT_EQ(count(out, "Enter a serial number"), 2) << out;
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
    EXPECT_NE(console().find("ERROR: The VPD EEPROM holds no valid VPD"), std::string::npos);
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
    EXPECT_NE(console().find("ERROR: Cannot read the VPD EEPROM. Nothing written.\n"), std::string::npos);
}

TEST_F(Vpd, EndOfInputAbandonsTheDialogWithoutWriting)
{
    Image before = eeprom();
    uint64_t cycles = host::board().i2cBus().addressCycles();
    peer().type("y\n");
    EXPECT_EQ(vpdGenerate(), -1);
    EXPECT_NE(console().find("ERROR: End of input. VPD not changed."), std::string::npos);
    EXPECT_EQ(eeprom(), before);
    EXPECT_LT(host::board().i2cBus().addressCycles() - cycles, 10u) << "only the read";
}

} // namespace
