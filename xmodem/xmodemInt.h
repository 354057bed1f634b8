/*
 * xmodemInt.h - what the parts of the transfer command share: the option
 * state of the current call, the name and block buffers, and the routines of
 * the line primitives, block framing, batch names and the two engines.
 * Only the xmodem module includes it; callers use xmodem.h.
 */
#ifndef XMODEM_INT_H
#define XMODEM_INT_H

#include "xmodem/xmodem.h"

#include <cstddef>
#include <cstdint>

namespace xm {

/* Control characters on the line. */
constexpr int SOH = 0x01;
constexpr int STX = 0x02;
constexpr int EOT = 0x04;
constexpr int ACK = 0x06;
constexpr int NAK = 0x15;
constexpr int CAN = 0x18;
constexpr int CPMEOF = 0x1A;
constexpr int WANT_CRC = 'C';
constexpr int WANT_G = 'G';
constexpr int WANT_1K = 'K';
constexpr int MODEM7_FAIL = 'u';

constexpr int TIMEOUT = -1;       /* readbyte: nothing arrived in time */
constexpr int NAME_LEN = 256;     /* transfer_name */
constexpr int BLOCK_MAX = 1024;   /* data bytes of the largest block */
constexpr int FRAME_MAX = BLOCK_MAX + 5;

/* Option state, cleared at the start of every call. */
struct Options {
    char transfer_type;      /* 't' text, 'b' binary, 'a' apple */
    bool receive, send;
    bool crc_mode;
    bool ymodem_batch, ymodem_g, modem7_batch;
    bool batch_active;
    bool long_packets;
    bool can_abort_anytime;
    bool progress_messages;
    bool wait_before_start;
    bool skip_eot_confirm;
    int debug_level;
    bool log_enabled;
    bool delete_log, too_busy; /* d and t: accepted, not used */
    /* Receive into the file the command names: batch senders' names are not
     * used and a batch gets only its first file stored. */
    bool named_receive;
    int batch_files_done;      /* files of the current receive batch completed */
};

extern Options opt;
extern char transfer_name[NAME_LEN];
extern uint8_t block_buffer[BLOCK_MAX];
extern int32_t ymodem_length;
extern bool ymodem_length_known;
extern int32_t bytes_received;
extern int32_t ymodem_files_left;
extern int32_t ymodem_bytes_left;
/* Set by the termination signal during a transfer: the engines stop at once. */
extern volatile bool transfer_killed;

/* ---- Line primitives (xmodemLine.cpp) ---- */
int readbyte(int seconds);
int readbuf(int count, int seconds, bool text, bool apple, uint16_t* check, int* kept);
void sendbyte(int c);
void writebuf(const void* buf, size_t len);
int flush_input();
void wait_line_clear();
/* Keeps the console's options and clears the reboot trap (start of a call). */
void console_save_options();
void enter_raw_mode();
/* Ends every transfer the command ran in raw mode, failed or not: a peer
 * still talking (any peer, after a failure) is told to stop with CANs, and
 * what arrives is discarded until the line has been quiet for a second (at
 * least the 5 s pause after a transfer, at most a minute); a repeated EOT
 * after a success is answered. Then the console is restored and its input
 * discarded. */
void end_transfer(bool failed);
void restore_console(bool reporting);
void fatal_error(const char* text, bool restore);
const char* sector_label(int32_t count, int blockSize, bool next);
void print_time_estimate(int32_t sectors, bool toErr);
void print_transfer_stats(int32_t sectors, int32_t seconds, bool toErr);
int32_t countnl(int fd);
void line_speed_update();
void pause_ms(uint32_t ms);
/* True when no byte arrives within ms (the byte, if any, stays unread). */
bool line_quiet(int ms);
/* Progress text on the error stream, only with the p option. */
void progress(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void send_cans(int count);

/* ---- Framing (xmodemFrame.cpp) ---- */
uint16_t crc16_update(uint16_t crc, uint8_t byte);
uint16_t crc16(const uint8_t* data, size_t len);
uint8_t checksum8(const uint8_t* data, size_t len);
/* Frames a block of size data bytes; returns its length on the line. */
int build_block(uint8_t* frame, int number, const uint8_t* data, int size, bool crc);
/* Receive-side handling of arriving data bytes: check value, byte count and
 * the transfer type. Appends kept bytes to out at *kept. */
struct RxBlockState {
    bool crc;
    bool text, apple;
    bool mark;       /* text end-of-data mark seen in this block */
    uint16_t check;
};
void rx_accept(RxBlockState& st, const uint8_t* in, int n, uint8_t* out, int* kept);
/* The file being sent, read through a 1024-byte buffer. */
void file_reader_reset(int fd);
int read_file_byte(); /* byte, -1 end of file, -2 read error */
struct TxFillState {
    bool text, apple;
    bool pendingLf;
    bool eof;
    bool readError;
};
/* Fills up to size bytes with the type conversions; returns the count. */
int tx_fill(TxFillState& st, uint8_t* data, int size);

/* ---- Batch names (xmodemBatch.cpp) ---- */
void ymodem_name_out(const char* fileName);
void ymodem_name_in(char* name);
void modem7_name_out(const char* fileName);
int modem7_name_in(const uint8_t raw[11]); /* 0, or -1 for a null name */
int send_name(const char name[11]);
/* Builds a YMODEM header into block_buffer-sized data; returns its block size. */
int ymodem_header_build(uint8_t* data, const char* fileName, uint32_t size, uint32_t mtime, uint32_t mode);
struct YmodemHeader {
    int32_t length;
    uint32_t mtime, mode, serial;
    int32_t filesLeft, bytesLeft, fileType;
};
/* Reads the number line that follows the name (text is NUL-terminated). */
void ymodem_header_numbers(const char* text, YmodemHeader& h);
/* A received name that stays a plain name of the current directory. */
bool name_is_local(const char* name);

/* ---- Engines ---- */
int receive_file(char* name);     /* 0 done, 1 batch file done, -1 failed */
int send_file(const char* name);  /* 0 sent, -1 failed */

} // namespace xm

#endif
