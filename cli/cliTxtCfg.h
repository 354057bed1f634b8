/*
 * cliTxtCfg.h - the startup configuration file: a command reader over plain
 * or compressed configuration files, and the copy of a configuration text
 * into the compressed "startup-config".
 *
 * "startup-config" is a series of pieces. A compressed piece is an 8-byte
 * big-endian header (blockLength, then the magic 0xDEADC0DE) and blockLength
 * bytes of zlib stream, which inflate to whole commands each followed by two
 * LFs. Any other 8 bytes start plain configuration text.
 */
#ifndef CLI_TXT_CFG_H
#define CLI_TXT_CFG_H

#include <cstdint>

constexpr uint32_t CLI_TXT_CFG_MAGIC = 0xDEADC0DEu;
constexpr uint32_t CLI_TXT_CFG_HEADER_LEN = 8;
constexpr uint32_t CLI_TXT_CFG_NAME_LEN = 32;
constexpr uint32_t CLI_TXT_CFG_TEXT_LEN = 2048;   /* decoded text window */
constexpr uint32_t CLI_TXT_CFG_BLOCK_LEN = 1024;  /* compressed data of one block, at most */
constexpr uint32_t CLI_TXT_CFG_BLOCK_TEXT = 1023; /* text one block holds, at most */
/* Longest line the reader hands out: a carried-over partial line never leaves
 * less room in the window than a whole block of text needs. */
constexpr uint32_t CLI_TXT_CFG_LINE_MAX = CLI_TXT_CFG_TEXT_LEN - 1 - CLI_TXT_CFG_BLOCK_TEXT;
constexpr const char* CLI_TXT_CFG_STARTUP = "startup-config";

/* Reader context, owned by the caller. */
struct cliTxtCfgCtx {
    int fd;                              /* -1 when closed */
    char fileName[CLI_TXT_CFG_NAME_LEN];
    char text[CLI_TXT_CFG_TEXT_LEN];     /* carried-over partial line + the newest piece, NUL-terminated */
    uint32_t avail;                      /* room for the next piece */
    uint32_t pos;                        /* next unread character */
    uint32_t used;                       /* characters in text */
    bool eof;                            /* no more pieces */
    bool skipping;                       /* dropping the rest of an over-long line */
    bool damaged;                        /* a piece could not be decoded or a line was dropped */
};

/* 0, or 2 when the file cannot be opened (fd is then -1). */
int cliTxtCfgCmdInit(const char* name, cliTxtCfgCtx* ctx);
void cliTxtCfgCmdClose(cliTxtCfgCtx* ctx);
/* The next command (trimmed, inside ctx->text until the next call), or
 * nullptr when the file is exhausted. skipComments 1 skips lines starting "!". */
char* cliTxtCfgCmdGet(cliTxtCfgCtx* ctx, int skipComments);
/* Reads one piece into out: *len in is the room, out the bytes delivered.
 * 0 (0 delivered at the end of the file) or 2. */
int cliTxtCfgReadFile(int fd, char* out, uint32_t* len);
/* Writes text (*len bytes) plainly or as compressed blocks; *len becomes the
 * bytes written, headers included. 0 or 2. */
int cliTxtCfgWriteBlock(int fd, const char* text, uint32_t* len, int compress);
/* Copies the commands of src into dst (nullptr: "startup-config"), in
 * compressed blocks when compress is 1. dst keeps its old contents unless
 * the whole copy succeeds. 0, or 2. */
int cliTxtCfgCopyConfig(const char* src, const char* dst, int compress);
/* Finishes or drops a copy into dst that a reset cut short (start-up). */
void cliTxtCfgReplaceComplete(const char* dst);

/* True when 8 header bytes end in the magic; *blockLength is then set. */
bool cliTxtCfgBlockHeader(const uint8_t header[CLI_TXT_CFG_HEADER_LEN], uint32_t* blockLength);

/* Debug traces of the module (off at start). */
void cliTxtCfgDebugSet(int on);

#endif
