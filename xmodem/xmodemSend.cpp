/*
 * xmodemSend.cpp - the send engine: one file of the flash disk to the far
 * end in checksum or CRC-16 blocks of 128 or 1024 bytes as the receiver asks,
 * with the YMODEM header or MODEM7 name of a batch, or the close of a batch.
 */
#include "xmodem/xmodemInt.h"

#include "osapi.h"

#include <cstring>

namespace xm {

namespace {

constexpr int kMaxHandshake = 120;
constexpr int kMaxTransmissions = 10;
constexpr int kMaxHeaderWait = 10;
constexpr int kMaxEots = 11;
/* A receiver may empty its input right after it sends its ACK (lrzsz's rx
 * does): on a serial line the next block cannot reach it that soon, on a
 * pseudo-terminal it can, and is lost with the flush. An ACK that comes back
 * sooner than half the block's time on a line of line_speed shows a line that
 * nothing paces; there the next block (or the EOT) waits this long. */
constexpr uint32_t kTurnaroundMs = 3;

struct Send {
    int fd = -1;
    bool closing = false;
};

int fail(Send& s, const char* text)
{
    if (s.fd >= 0) vx::close(s.fd);
    s.fd = -1;
    if (text) fatal_error(text, true);
    return -1;
}

/* A CAN was read: true when a second CAN follows within 3 s. */
bool secondCan() { return readbyte(3) == CAN; }

/* After the ACK of a block of frameLen bytes written at tick sentAt. */
void turnaround(uint32_t sentAt, int frameLen)
{
    const int64_t lineMs = int64_t(frameLen) * 10 * 1000 / line_speed;
    const int64_t tookMs = int64_t(vx::tickGet() - sentAt) * 1000 / vx::sysClkRateGet();
    if (tookMs * 2 < lineMs) pause_ms(kTurnaroundMs);
}

} // namespace

int send_file(const char* name)
{
    static uint8_t data[BLOCK_MAX];
    static uint8_t frame[FRAME_MAX];
    Send s;
    s.closing = name[0] == '\0';
    opt.crc_mode = false;
    opt.ymodem_g = false;
    bool wish1k = opt.long_packets;
    uint32_t size = 0;
    vx::Stat st{0, 0, 0};
    TxFillState fill{opt.transfer_type == 't', opt.transfer_type == 'a', false, false, false};

    if (s.closing) {
        if (!opt.batch_active) {
            send_cans(3);
            return fail(s, "NULL file name in send");
        }
        progress("Closing down Batch Transmission\n");
    } else {
        progress("----\nXMODEM Send Function\n");
        s.fd = vx::open(name, vx::RDONLY, 0);
        if (s.fd < 0 || vx::fstat(s.fd, &st) != 0) {
            send_cans(3);
            return fail(s, "Can't open file for send");
        }
        size = st.size;
        if (fill.text) size += uint32_t(countnl(s.fd));
        progress("File Name: %s\n\r", name);
        progress("File Size %ldK, %ld Records, %ld Bytes\n\r", long(size / 1024 + 1), long(size / 128 + 1),
                 long(size));
        if (opt.progress_messages) print_time_estimate(int32_t(size / 128 + 1), true);
        if (opt.long_packets) progress("1K packet mode chosen on command line\n");
    }
    file_reader_reset(s.fd);
    const int32_t totalSectors = int32_t(size / 128 + 1);

    /* Handshake: the receiver says how it wants the data. */
    bool nameSent = false;
    int attempts = 0;
    for (;;) {
        int c = readbyte(1);
        if (transfer_killed) return fail(s, nullptr);
        if (c == CAN) {
            if (secondCan()) return fail(s, "Send Canceled by CAN-CAN");
            continue;
        }
        if (c != NAK && c != WANT_CRC && c != WANT_G) {
            if (++attempts > kMaxHandshake) {
                if (opt.modem7_batch && !nameSent) {
                    sendbyte(ACK);
                    sendbyte(EOT);
                }
                return fail(s, "Remote System Not Responding");
            }
            continue;
        }
        if (c == WANT_G) {
            opt.crc_mode = opt.can_abort_anytime = opt.ymodem_g = true;
            if (!s.closing) progress("Receiver invoked YMODEM-G and CRC modes\n");
        } else if (c == WANT_CRC) {
            opt.crc_mode = true;
            if (!s.closing) progress("Receiver invoked CRC mode\n");
            if (readbyte(1) == WANT_1K) {
                wish1k = true;
                progress("Receiver invoked 1K packet mode\n");
            }
        }
        if (opt.modem7_batch && s.closing) {
            sendbyte(ACK);
            sendbyte(EOT);
            flush_input();
            readbyte(2);
            return 0;
        }
        if (opt.modem7_batch && !nameSent) {
            attempts = 0;
            modem7_name_out(name);
            if (send_name(transfer_name) == 0) nameSent = true;
            if (transfer_killed) return fail(s, nullptr);
            continue;
        }
        break;
    }

    /* Data phase. */
    const bool ymodem = opt.ymodem_batch;
    int blockNumber = ymodem ? 0 : 1;
    bool headerPending = ymodem;
    int blockSize = (!ymodem && opt.long_packets) ? 1024 : 128;
    int32_t sectorsSent = 0;
    int previousTransmissions = 0;
    attempts = 0;
    for (;;) {
        if (s.closing && ymodem && blockNumber == 1) return 0;
        if (ymodem && blockNumber == 1) {
            blockSize = wish1k ? 1024 : 128;
            for (;;) {
                int c = readbyte(2);
                if (transfer_killed) return fail(s, nullptr);
                if (c == WANT_CRC || c == WANT_G || c == NAK) {
                    attempts = 0;
                    break;
                }
                if (c == CAN) {
                    if (secondCan()) return fail(s, "Send Canceled by CAN-CAN");
                    continue;
                }
                if (++attempts > kMaxHeaderWait) return fail(s, "YMODEM protocol botch, C or G expected");
            }
        }
        if (blockSize == 1024 && previousTransmissions > 5) {
            progress("Reducing packet size to 128 due to excessive errors\n");
            blockSize = 128;
        }
        if (blockSize == 1024 && totalSectors - sectorsSent <= 7) {
            progress("Reducing packet size to 128 for tail end of file\n");
            blockSize = 128;
        }

        if (blockNumber == 0) {
            if (s.closing) {
                std::memset(data, 0, sizeof data);
                blockSize = 128;
            } else {
                blockSize = ymodem_header_build(data, name, size, st.mtime, st.mode);
            }
        } else {
            int n = tx_fill(fill, data, blockSize);
            if (fill.readError) {
                /* Sending less than the file as if it were all would be a
                 * false success. */
                send_cans(5);
                return fail(s, "File Read Error");
            }
            if (n == 0) break;
            std::memset(data + n, CPMEOF, size_t(blockSize - n));
        }
        const int frameLen = build_block(frame, blockNumber, data, blockSize, opt.crc_mode);

        attempts = 0;
        for (;;) {
            /* Stale input goes before the block, so the answer to this block
             * cannot be flushed with it however fast it comes back. */
            if (!opt.ymodem_g) flush_input();
            const uint32_t sentAt = vx::tickGet();
            writebuf(frame, size_t(frameLen));
            ++attempts;
            if (transfer_killed) return fail(s, nullptr);
            if (opt.ymodem_g) break;
            const int c = readbyte(10);
            if (transfer_killed) return fail(s, nullptr);
            if (c == ACK) {
                turnaround(sentAt, frameLen);
                break;
            }
            const char* label = sector_label(sectorsSent, blockSize, true);
            if (c == TIMEOUT) {
                progress("Timeout on sector %s\n", label);
                progress("Non-ACK on sector %s\n", label);
            } else if (c == CAN) {
                if (opt.can_abort_anytime) {
                    if (secondCan()) return fail(s, "Send Canceled by CAN-CAN");
                } else {
                    progress("ignored CAN on sector %s\n", label);
                }
            } else if (c == NAK) {
                progress("NAK on sector %s\n", label);
            } else {
                progress("Non-ACK on sector %s\n", label);
            }
            if (attempts >= kMaxTransmissions) break;
        }

        ++blockNumber;
        if (!headerPending) sectorsSent += blockSize == 1024 ? 8 : 1;
        headerPending = false;
        if (sectorsSent % 32 == 0) progress("Sector %s sent\n", sector_label(sectorsSent, blockSize, false));
        if (attempts >= kMaxTransmissions) {
            send_cans(5);
            return fail(s, "Too many errors in transmission");
        }
        previousTransmissions = attempts;
        if (fill.eof) break;
    }

    /* End of file: an EOT that the receiver acknowledges. */
    sendbyte(EOT);
    int count = 0;
    for (;;) {
        const int c = readbyte(15);
        if (transfer_killed) return fail(s, nullptr);
        if (c == ACK) break;
        if (++count == kMaxEots) break;
        if (count > 1) progress("EOT not ACKed, try %d\n", count);
        sendbyte(EOT);
    }
    if (count > 4) return fail(s, "Remote System Not Responding on Completion");
    vx::close(s.fd);
    s.fd = -1;
    progress("Send Complete\n");
    if (opt.progress_messages) print_transfer_stats(sectorsSent, 0, true);
    return 0;
}

} // namespace xm
