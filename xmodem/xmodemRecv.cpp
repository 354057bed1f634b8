/*
 * xmodemRecv.cpp - the receive engine: one file (or the end of a batch) from
 * the far end, with XMODEM checksum or CRC-16 blocks of 128 or 1024 bytes, a
 * YMODEM header block or a MODEM7 name ahead of the data.
 */
#include "xmodem/xmodemInt.h"

#include "osapi.h"

#include <cstring>

namespace xm {

namespace {

constexpr int kMaxTimeouts = 10;
constexpr int kMaxErrors = 10;
constexpr int kMaxStartAttempts = 60;
/* A sender that knows only checksum blocks ignores 'C' and starts on NAK:
 * after this many 'C's in a row go unanswered (about 15 s of waits) the
 * receive asks with NAK in checksum mode, leaving several NAKs before the
 * tenth timeout ends it. A CRC sender started after that gets checksum mode. */
constexpr int kUnansweredCrcMax = 5;
/* 'K' follows 'C' only when the sender shows no sign of having started within
 * this time: a sender that does not know 'K' would take it as the answer to
 * its first block. */
constexpr int kOfferKQuietMs = 200;
/* An EOT taken without confirmation must be followed by silence: a sender
 * that sent a real EOT is waiting for the answer, while a 0x04 that is the
 * number of a block whose start character was lost has the rest of the block
 * right behind it. The window covers a dozen bytes at the line's speed, with
 * room for the host's scheduling. */
constexpr int kEotQuietBaseMs = 100;
constexpr int kEotQuietBytes = 12;

int eotQuietMs()
{
    const int32_t speed = line_speed > 0 ? line_speed : 9600;
    return kEotQuietBaseMs + int(int64_t(kEotQuietBytes) * 10 * 1000 / speed);
}

struct Receive {
    char* name;
    char createdName[NAME_LEN];
    int fd = -1;
    int32_t sectors = 0;
    int lastGood = 0;
    int blockSize = 128;
    int wait = 1;
    int timeouts = 0;
    int errors = 0;
    int startAttempts = 0;
    bool errorFlag = false;
    bool fatal = false;
    bool canBlocked = false;
    bool crcGivenUp = false; /* switched to checksum for a silent sender */
    bool text = false, apple = false;
};

void sendCrcStart()
{
    sendbyte(WANT_CRC);
    if (opt.long_packets && !opt.modem7_batch && line_quiet(kOfferKQuietMs)) sendbyte(WANT_1K);
}

/* The character asking for the (next) file's data. */
void sendStartChar()
{
    if (opt.ymodem_g)
        sendbyte(WANT_G);
    else if (opt.crc_mode)
        sendCrcStart();
    else
        sendbyte(NAK);
}

bool openOutput(Receive& r)
{
    std::strncpy(r.createdName, r.name, NAME_LEN - 1);
    r.createdName[NAME_LEN - 1] = '\0';
    r.fd = vx::open(r.createdName, vx::CREAT | vx::TRUNC | vx::WRONLY, 0644);
    if (r.fd >= 0) return true;
    send_cans(3);
    fatal_error("Can't create file for receive", true);
    return false;
}

void removeOutput(Receive& r)
{
    vx::close(r.fd);
    r.fd = -1;
    vx::remove(r.createdName);
}

/* The check bytes behind a block. A byte that does not come counts as 0xFF
 * in the value; *lost tells that one did not come, so the block had lost a
 * byte somewhere and is refused even when the value happens to match. */
int readCheck(bool* lost)
{
    if (opt.crc_mode) {
        int hi = readbyte(3);
        int lo = readbyte(3);
        *lost = hi == TIMEOUT || lo == TIMEOUT;
        return ((hi << 8) & 0xFF00) | (lo & 0xFF);
    }
    int sum = readbyte(3);
    *lost = sum == TIMEOUT;
    return sum & 0xFF;
}

/* A batch receive for one named file has its file: the sender's next file is
 * refused with a cancel, the first stays stored. */
int refuseFurtherFile(const char* what)
{
    send_cans(5);
    wait_line_clear();
    vx::printf("\r\nFurther file %s refused: one file was asked for\n\r", what);
    return 0;
}

enum class NameResult { Good, EndOfBatch, Failed, Fatal, Refused };

NameResult receiveModem7Name(Receive& r)
{
    progress("MODEM7 Batch Protocol\n");
    uint8_t raw[11];
    int sum = 0;
    for (int i = 0; i < 11; ++i) {
        int c = readbyte(3);
        if (c == CAN) {
            if (readbyte(3) == CAN) {
                fatal_error("Program Canceled by CAN-CAN", true);
                return NameResult::Fatal;
            }
            progress("Received single CAN character in MODEM7 filename\n");
            return NameResult::Failed;
        }
        if (c == EOT && i == 0) {
            sendbyte(ACK);
            progress("MODEM7 Batch Receive Complete\n");
            return NameResult::EndOfBatch;
        }
        if (i == 0 && c != TIMEOUT && opt.named_receive && opt.batch_files_done > 0) {
            refuseFurtherFile("(MODEM7)");
            return NameResult::Refused;
        }
        if (c == TIMEOUT) {
            progress("Timeout waiting for MODEM7 filename character\n");
            return NameResult::Failed;
        }
        if (c == MODEM7_FAIL) {
            progress("Error during MODEM7 filename transfer\n");
            return NameResult::Failed;
        }
        raw[i] = uint8_t(c);
        sum += c;
        sendbyte(ACK);
    }
    if (readbyte(3) != CPMEOF) {
        progress("Length error in MODEM7 filename\n");
        return NameResult::Failed;
    }
    sendbyte((sum + CPMEOF) & 0xFF);
    if (readbyte(15) != ACK) {
        progress("Checksum error in MODEM7 filename\n");
        return NameResult::Failed;
    }
    if (raw[0] == 0) {
        fatal_error("Null file name in MODEM7 batch receive", true);
        return NameResult::Fatal;
    }
    if (!opt.named_receive) {
        modem7_name_in(raw);
        if (!name_is_local(transfer_name)) {
            send_cans(3);
            fatal_error("Can't create file for receive", true);
            return NameResult::Fatal;
        }
        if (r.name != transfer_name) std::strcpy(r.name, transfer_name);
    }
    opt.batch_active = true;
    progress("MODEM7 file name: %s\n", r.name);
    r.errors = 0;
    pause_ms(2000);
    return NameResult::Good;
}

enum class HeaderResult { Accepted, EndOfBatch, BlockError, Fatal, Refused };

HeaderResult receiveYmodemHeader(Receive& r)
{
    progress("YMODEM Batch Protocol\n");
    /* The header's bytes are not file data: no length limit, no conversion. */
    const bool lengthKnown = ymodem_length_known;
    const int32_t received = bytes_received;
    ymodem_length_known = false;
    uint16_t calc = 0;
    int kept = 0;
    int rc = readbuf(r.blockSize, 1, false, false, &calc, &kept);
    ymodem_length_known = lengthKnown;
    bytes_received = received;
    if (rc != 0) {
        progress("Timeout while reading filename packet\n");
        return HeaderResult::BlockError;
    }
    bool lost = false;
    if (readCheck(&lost) != calc || lost) {
        progress("checksum error on filename sector\n");
        return HeaderResult::BlockError;
    }
    if (r.fd >= 0) {
        /* The sender did not see our answer and sent its header again: the
         * file is open already; answer again, open nothing. */
        progress("Duplicate sector %s flushed\n", sector_label(0, 128, false));
        if (!opt.ymodem_g) {
            flush_input();
            sendbyte(ACK);
        }
        sendStartChar();
        r.wait = 1;
        return HeaderResult::Accepted;
    }

    static char header[BLOCK_MAX + 1];
    std::memcpy(header, block_buffer, size_t(r.blockSize));
    header[r.blockSize] = '\0';
    const size_t nameLen = std::strlen(header);
    opt.batch_active = true;
    opt.ymodem_batch = true;
    if (nameLen == 0) {
        flush_input();
        sendbyte(ACK);
        progress("YMODEM Batch Receive Complete\n");
        return HeaderResult::EndOfBatch;
    }
    if (opt.named_receive && opt.batch_files_done > 0) {
        refuseFurtherFile(nameLen < 80 ? header : "(YMODEM)");
        return HeaderResult::Refused;
    }
    YmodemHeader h;
    ymodem_header_numbers(nameLen < size_t(r.blockSize) ? header + nameLen + 1 : "", h);
    if (!opt.named_receive) {
        if (nameLen >= size_t(NAME_LEN)) {
            send_cans(3);
            fatal_error("Received file name too long", true);
            return HeaderResult::Fatal;
        }
        std::strcpy(r.name, header);
        ymodem_name_in(r.name);
        if (!name_is_local(r.name)) {
            send_cans(3);
            fatal_error("Can't create file for receive", true);
            return HeaderResult::Fatal;
        }
    }
    progress("YMODEM file name: %s\n", r.name);
    bytes_received = 0;
    if (h.length > 0) {
        ymodem_length = h.length;
        ymodem_length_known = true;
        progress("YMODEM file size: %ld\n", long(h.length));
    }
    if (h.filesLeft != 0) {
        progress("YMODEM %d file(s) left to receive ", int(h.filesLeft));
        progress("containing %ld bytes\n", long(h.bytesLeft));
    }
    if (!openOutput(r)) return HeaderResult::Fatal;
    if (!opt.ymodem_g) {
        flush_input();
        sendbyte(ACK);
    }
    sendStartChar();
    r.startAttempts = 0;
    r.wait = 1;
    return HeaderResult::Accepted;
}

/* A block whose number follows the last good one. */
int receiveDataBlock(Receive& r, int number)
{
    const int32_t before = bytes_received;
    uint16_t calc = 0;
    int kept = 0;
    if (readbuf(r.blockSize, 1, r.text, r.apple, &calc, &kept) != 0) {
        progress("Timeout while reading sector %s\n", sector_label(r.sectors, r.blockSize, true));
        bytes_received = before;
        r.errorFlag = true;
        if (opt.ymodem_g) r.fatal = true;
        return 0;
    }
    bool lost = false;
    const int sent = readCheck(&lost);
    if (sent != calc || lost) {
        progress("Checksum Error on Sector %s:  ", sector_label(r.sectors, r.blockSize, true));
        progress("sent=%x  ", unsigned(sent));
        progress("recvd=%x\n", unsigned(calc));
        bytes_received = before;
        r.errorFlag = true;
        if (opt.ymodem_g) r.fatal = true;
        return 0;
    }
    r.errors = 0;
    r.lastGood = number;
    r.sectors += r.blockSize == 1024 ? 8 : 1;
    if (!opt.can_abort_anytime) r.canBlocked = true;
    if (r.fd < 0) {
        if (!openOutput(r)) return -1;
        if (!opt.batch_active) progress("File Name: %s\n", r.name);
    }
    if (kept > 0 && vx::write(r.fd, block_buffer, size_t(kept)) != kept) {
        removeOutput(r);
        fatal_error("File Write Error", true);
        return -1;
    }
    if (r.sectors % 32 == 0) progress("Sector %s received\n", sector_label(r.sectors, r.blockSize, false));
    if (!opt.ymodem_g) {
        flush_input();
        sendbyte(ACK);
    }
    return 0;
}

void solicitAgain(Receive& r)
{
    if (opt.crc_mode && opt.modem7_batch && !opt.batch_active) {
        sendbyte(NAK);
    } else if (opt.crc_mode && r.timeouts >= kUnansweredCrcMax && !opt.ymodem_batch) {
        opt.crc_mode = false;
        r.crcGivenUp = true;
        progress("Sender not accepting CRC request, changing to checksum\n");
        sendbyte(NAK);
    } else if (!opt.crc_mode && r.startAttempts == 30 && !opt.ymodem_batch && !r.crcGivenUp) {
        opt.crc_mode = true;
        progress("Sender not accepting checksum request, changing to CRC\n");
        sendCrcStart();
    } else {
        sendStartChar();
    }
}

bool acceptable(const Receive& r, int c)
{
    return c == TIMEOUT || c == SOH || c == STX || c == EOT || (c == ACK && r.sectors == 0) ||
           (c == CAN && !r.canBlocked);
}

/* The engine was stopped by the termination signal (its handler has
 * restored the console and said so). */
int killed(Receive& r)
{
    if (r.fd >= 0) removeOutput(r);
    return -1;
}

} // namespace

int receive_file(char* name)
{
    progress("----\nXMODEM File Receive Function\n");
    if (opt.crc_mode) progress("CRC mode requested on command line\n");
    if (opt.ymodem_g) progress("YMODEM-G mode requested on command line\n");

    Receive r;
    r.name = name;
    r.createdName[0] = '\0';
    opt.batch_active = false;
    ymodem_length = 0;
    ymodem_length_known = false;
    bytes_received = 0;
    r.text = opt.transfer_type == 't';
    r.apple = opt.transfer_type == 'a';

    flush_input();
    if (opt.ymodem_g)
        sendbyte(WANT_G);
    else if (opt.crc_mode && !opt.modem7_batch)
        sendCrcStart();
    else
        sendbyte(NAK);

    int c;
    do {
        r.errorFlag = false;
        bool discarded = false;
        for (;;) {
            c = readbyte(r.wait);
            if (transfer_killed) return killed(r);
            if (acceptable(r, c)) break;
            discarded = true;
        }

        if (c == EOT) {
            /* An unconfirmed EOT must come alone on a quiet line: a 0x04 met
             * while scanning noise or a block is data, not the end. */
            const bool takeAsIs = opt.skip_eot_confirm && !discarded && line_quiet(eotQuietMs());
            if (!takeAsIs) {
                flush_input();
                sendbyte(NAK);
                int again = readbyte(5);
                if (transfer_killed) return killed(r);
                if (again != EOT) {
                    progress("Spurious EOT detected; ignored\n");
                    if (again == TIMEOUT || acceptable(r, again))
                        c = again;
                    else {
                        c = -2; /* an error: the character is dropped */
                        r.errorFlag = true;
                    }
                }
            }
        }

        if (c == TIMEOUT) {
            if (r.sectors > 0) progress("Timeout on Sector %s\n", sector_label(r.sectors, r.blockSize, true));
            if (++r.timeouts >= kMaxTimeouts) {
                if (r.fd >= 0) vx::close(r.fd); /* what arrived so far stays */
                r.fd = -1;
                fatal_error("ABORTED -- Remote system is not sending file", true);
                return -1;
            }
            r.errorFlag = true;
        } else {
            r.timeouts = 0;
        }

        if (c == CAN) {
            int second = readbyte(3);
            if (second != TIMEOUT && (second & 0x7F) == CAN) {
                if (r.fd >= 0) {
                    removeOutput(r);
                    fatal_error("Reception Canceled by CAN-CAN; partial file deleted", true);
                } else {
                    fatal_error("Reception Canceled by CAN-CAN", true);
                }
                return -1;
            }
            progress("Received single CAN character\n");
            r.errorFlag = true;
        } else if (c == ACK) {
            switch (receiveModem7Name(r)) {
            case NameResult::Good: break;
            case NameResult::EndOfBatch:
            case NameResult::Refused: return 0;
            case NameResult::Failed: r.errorFlag = true; break;
            case NameResult::Fatal:
                /* A file a YMODEM header opened in this call goes with it. */
                if (r.fd >= 0) removeOutput(r);
                return -1;
            }
        } else if (c == SOH || c == STX) {
            r.blockSize = c == SOH ? 128 : 1024;
            if (r.sectors == 0) {
                if (r.blockSize == 1024) progress("1K packet mode chosen\n");
                r.errors = 0;
                r.wait = 5;
            }
            const int number = readbyte(3);
            const int complement = readbyte(3);
            if (number + complement != 255) {
                progress("Header Sector Number Error on Sector %s\n", sector_label(r.sectors, r.blockSize, true));
                r.errorFlag = true;
                if (opt.ymodem_g)
                    r.fatal = true;
                else
                    wait_line_clear();
            } else if (number == ((r.lastGood + 1) & 0xFF)) {
                if (receiveDataBlock(r, number) != 0) return transfer_killed ? killed(r) : -1;
            } else if (number == 0 && r.sectors == 0) {
                switch (receiveYmodemHeader(r)) {
                case HeaderResult::Accepted: break;
                case HeaderResult::EndOfBatch:
                case HeaderResult::Refused: return 0;
                case HeaderResult::BlockError:
                    r.errorFlag = true;
                    if (opt.ymodem_g) r.fatal = true;
                    break;
                case HeaderResult::Fatal: return -1;
                }
            } else if (number == r.lastGood) {
                progress("Duplicate sector %s flushed\n", sector_label(r.sectors, r.blockSize, false));
                if (opt.ymodem_g) {
                    r.errorFlag = true;
                    r.fatal = true;
                } else {
                    wait_line_clear();
                    sendbyte(ACK);
                }
            } else {
                progress("Phase Error - Expected packet is %s\n", sector_label(r.sectors, r.blockSize, true));
                r.errorFlag = true;
                r.fatal = true;
            }
        }
        if (transfer_killed) return killed(r);

        if (r.errorFlag && !r.fatal) {
            if (r.sectors > 0) {
                if (++r.errors >= kMaxErrors) {
                    r.fatal = true;
                } else {
                    wait_line_clear();
                    sendbyte(NAK);
                }
            } else if (c != EOT) {
                ++r.startAttempts;
                r.wait = r.startAttempts + 1;
                if (r.startAttempts >= kMaxStartAttempts)
                    r.fatal = true;
                else
                    solicitAgain(r);
            }
        }
    } while (c != EOT && !r.fatal);

    if (r.fatal) {
        if (r.fd >= 0) {
            send_cans(5);
            removeOutput(r);
            wait_line_clear();
            fatal_error("ABORTED -- Too Many Errors -- Deleting File", true);
        } else {
            wait_line_clear();
            fatal_error("ABORTED -- Remote system is not responding", true);
        }
        return -1;
    }

    if (r.fd >= 0 && vx::close(r.fd) != 0) {
        r.fd = -1;
        vx::remove(r.createdName);
        fatal_error("File Write Error", true);
        return -1;
    }
    r.fd = -1;
    sendbyte(ACK);
    progress("Receive Complete\n");
    if (opt.progress_messages) print_transfer_stats(r.sectors, 0, false);
    return opt.batch_active ? 1 : 0;
}

} // namespace xm
