/*
 * cliTxtCfg.cpp - the startup configuration file: reading commands from a
 * plain or compressed configuration file through a 2 KiB text window, and
 * copying a configuration into "startup-config" in compressed 1 KiB blocks.
 *
 * Every block the writer makes fits the reader's buffers: at most 1023 bytes
 * of text that deflate to at most 1024 bytes. The copy writes an aside file
 * and replaces the destination only when the whole copy has succeeded.
 * zlib's working memory comes from the system memory pool.
 */
#include "cli/cliTxtCfg.h"

#include <cstdarg>
#include <cstring>
#include <zlib.h>

#include "osapi.h"
#include "osapi_file.h"

namespace {

constexpr uint32_t COMPRESS_BUF_LEN = 2048;
constexpr uint32_t PATH_MAX_LEN = 256;
constexpr const char* ASIDE_WRITING = ".tmp"; /* being written */
constexpr const char* ASIDE_READY = ".new";   /* complete, about to replace the destination */

bool cfgDebug = false;

void cfgTrace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void cfgTrace(const char* fmt, ...)
{
    if (!cfgDebug)
        return;
    va_list ap;
    va_start(ap, fmt);
    vx::vprintf(fmt, ap);
    va_end(ap);
}

voidpf cfgZalloc(voidpf, uInt items, uInt size)
{
    if (size != 0 && items > SIZE_MAX / size)
        return Z_NULL;
    return vx::malloc(static_cast<size_t>(items) * size);
}

void cfgZfree(voidpf, voidpf p) { vx::free(p); }

uint32_t get32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void put32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

/* zlib's compress at the default level, as one deflate stream. */
int cfgDeflate(const char* in, uint32_t len, uint8_t* out, uint32_t room, uint32_t* outLen)
{
    z_stream zs{};
    zs.zalloc = cfgZalloc;
    zs.zfree = cfgZfree;
    int rc = deflateInit(&zs, Z_DEFAULT_COMPRESSION);
    if (rc != Z_OK)
        return rc;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
    zs.avail_in = len;
    zs.next_out = out;
    zs.avail_out = room;
    rc = deflate(&zs, Z_FINISH);
    *outLen = static_cast<uint32_t>(zs.total_out);
    deflateEnd(&zs);
    if (rc == Z_STREAM_END)
        return Z_OK;
    return rc == Z_OK ? Z_BUF_ERROR : rc;
}

/* zlib's uncompress: the stream must end within in and its output fit room. */
int cfgInflate(const uint8_t* in, uint32_t len, char* out, uint32_t room, uint32_t* outLen)
{
    z_stream zs{};
    zs.zalloc = cfgZalloc;
    zs.zfree = cfgZfree;
    zs.next_in = const_cast<Bytef*>(in);
    zs.avail_in = len;
    int rc = inflateInit(&zs);
    if (rc != Z_OK)
        return rc;
    zs.next_out = reinterpret_cast<Bytef*>(out);
    zs.avail_out = room;
    rc = inflate(&zs, Z_FINISH);
    *outLen = static_cast<uint32_t>(zs.total_out);
    bool inputUsed = zs.avail_in == 0;
    inflateEnd(&zs);
    if (rc == Z_STREAM_END)
        return Z_OK;
    if (rc == Z_NEED_DICT || (rc == Z_BUF_ERROR && inputUsed))
        return Z_DATA_ERROR; /* as uncompress: a stream cut short is bad data */
    return rc == Z_OK ? Z_BUF_ERROR : rc;
}

/* How reading a piece ended. */
enum Piece {
    PIECE_OK,  /* text delivered (possibly none, from an empty block) */
    PIECE_END, /* end of the file */
    PIECE_BAD, /* a block that cannot be decoded; its bytes are consumed */
    PIECE_IO   /* the file cannot be read any further */
};

Piece cfgReadPiece(int fd, char* out, uint32_t* len)
{
    uint32_t room = *len;
    *len = 0;
    cfgTrace("cliTxtCfgReadFile: buffer size = %d\n", static_cast<int>(room));

    uint8_t header[CLI_TXT_CFG_HEADER_LEN];
    uint32_t got = CLI_TXT_CFG_HEADER_LEN;
    if (osapiFileReadWithLen(fd, header, &got) != OSAPI_FILE_OK) {
        cfgTrace("cliTxtCfgReadFile: failed osapiFileReadWithLen\n");
        return PIECE_IO;
    }
    if (got == 0)
        return PIECE_END;

    uint32_t blockLength = 0;
    if (got == CLI_TXT_CFG_HEADER_LEN && cliTxtCfgBlockHeader(header, &blockLength)) {
        cfgTrace("cliTxtCfgReadFile: startup-config is compressed\n");
        if (blockLength > CLI_TXT_CFG_BLOCK_LEN) {
            /* Not a block this format makes; its length cannot be trusted to
             * find the next piece either. */
            cfgTrace("cliTxtCfgReadFile: block length %u exceeds %u\n", blockLength, CLI_TXT_CFG_BLOCK_LEN);
            return PIECE_IO;
        }
        uint8_t block[CLI_TXT_CFG_BLOCK_LEN];
        uint32_t n = blockLength;
        if (osapiFileReadWithLen(fd, block, &n) != OSAPI_FILE_OK) {
            cfgTrace("cliTxtCfgReadFile: failed osapiFileReadWithLen\n");
            return PIECE_IO;
        }
        uint32_t produced = 0;
        int rc = cfgInflate(block, n, out, room, &produced);
        if (rc != Z_OK) {
            cfgTrace("failed to uncomress errcode = %d\n", rc);
            return n < blockLength ? PIECE_IO : PIECE_BAD;
        }
        *len = produced;
    } else {
        cfgTrace("cliTxtCfgReadFile: startup-config is not compressed\n");
        if (room < got)
            return PIECE_IO; /* no room even for the header candidate */
        std::memcpy(out, header, got);
        uint32_t more = 0;
        if (got == CLI_TXT_CFG_HEADER_LEN) {
            more = room - got;
            if (osapiFileReadWithLen(fd, out + got, &more) != OSAPI_FILE_OK) {
                cfgTrace("cliTxtCfgReadFile: failed osapiFileReadWithLen\n");
                return PIECE_IO;
            }
        }
        /* Every byte read is text, also a short last piece. */
        *len = got + more;
    }
    cfgTrace("cliTxtCfgReadFile: success len = %d\n", static_cast<int>(*len));
    return PIECE_OK;
}

/* Blanks around a command; Ctrl-Z is the padding XMODEM puts after the end
 * of a received file. */
constexpr char CPMEOF = 0x1A;
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == CPMEOF; }

/* Trims a NUL-terminated line in place: trailing, then leading blanks. A NUL
 * inside the line ends the command there, so the blanks before it go too. */
char* cfgTrim(char* line, uint32_t len)
{
    len = uint32_t(strnlen(line, len));
    while (len > 0 && isBlank(line[len - 1]))
        line[--len] = '\0';
    while (isBlank(*line))
        line++;
    return line;
}

/* The command of a line, or nullptr when the line carries none. An over-long
 * line is dropped and marks the context damaged. */
char* cfgLineCommand(cliTxtCfgCtx* ctx, char* line, uint32_t len, int skipComments)
{
    if (len > CLI_TXT_CFG_LINE_MAX) {
        cfgTrace("cliTxtCfgCmdGet: line of %u characters dropped\n", len);
        ctx->damaged = true;
        return nullptr;
    }
    char* cmd = cfgTrim(line, len);
    if (cmd[0] == '\0' || (skipComments == 1 && cmd[0] == '!'))
        return nullptr;
    cfgTrace("cliTxtCfgCmdGet: returns '%s'\n", cmd);
    return cmd;
}

/* The aside names of a destination: false when they would not fit. */
bool cfgAsideNames(const char* dst, char* writing, char* ready)
{
    int a = vx::snprintf(writing, PATH_MAX_LEN, "%s%s", dst, ASIDE_WRITING);
    int b = vx::snprintf(ready, PATH_MAX_LEN, "%s%s", dst, ASIDE_READY);
    return a > 0 && a < static_cast<int>(PATH_MAX_LEN) && b > 0 && b < static_cast<int>(PATH_MAX_LEN);
}

bool cfgFileExists(const char* name)
{
    vx::Stat st{};
    return vx::stat(name, &st) == vx::OK;
}

/* The position just after a line end (after two LFs when pairs is true)
 * nearest the middle of text, or 0 when there is none inside it. */
uint32_t cfgSplitPoint(const char* text, uint32_t len, bool pairs)
{
    uint32_t best = 0, bestD = 0;
    for (uint32_t at = 1; at < len; at++) {
        if (text[at - 1] != '\n' || (pairs && (at < 2 || text[at - 2] != '\n')))
            continue;
        uint32_t d = at > len / 2 ? at - len / 2 : len / 2 - at;
        if (best == 0 || d < bestD) {
            best = at;
            bestD = d;
        }
    }
    return best;
}

/* Writes one compressed block of text: splits it at a line end when its text
 * or its compressed data would not fit the reader's buffers. */
int cfgWriteCompressed(int fd, const char* text, uint32_t len, uint32_t* written)
{
    uint8_t data[COMPRESS_BUF_LEN];
    uint32_t size = 0;
    int rc = Z_BUF_ERROR;
    if (len <= CLI_TXT_CFG_BLOCK_TEXT) {
        rc = cfgDeflate(text, len, data, sizeof data, &size);
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            cfgTrace("cliTxtCfgWriteBlock: compress failed = %d\n", rc);
            return OSAPI_FILE_ERROR;
        }
    }
    if (rc != Z_OK || size > CLI_TXT_CFG_BLOCK_LEN) {
        /* Split just after the line end nearest the middle, preferring the
         * ends of commands (two LFs); a single line that does not fit cannot
         * be split without cutting a command. */
        uint32_t best = cfgSplitPoint(text, len, true);
        if (best == 0)
            best = cfgSplitPoint(text, len, false);
        if (best == 0) {
            cfgTrace("cliTxtCfgWriteBlock: a line of %u bytes does not fit a block\n", len);
            return OSAPI_FILE_ERROR;
        }
        if (cfgWriteCompressed(fd, text, best, written) != OSAPI_FILE_OK)
            return OSAPI_FILE_ERROR;
        return cfgWriteCompressed(fd, text + best, len - best, written);
    }

    uint8_t header[CLI_TXT_CFG_HEADER_LEN];
    put32(header, size);
    put32(header + 4, CLI_TXT_CFG_MAGIC);
    if (osapiFileWrite(fd, header, sizeof header) != OSAPI_FILE_OK) {
        cfgTrace("cliTxtCfgWriteBlock: failed to write header\n");
        return OSAPI_FILE_ERROR;
    }
    cfgTrace("cliTxtCfgWriteBlock: writing compressed data size %d\n", static_cast<int>(size));
    if (osapiFileWrite(fd, data, size) != OSAPI_FILE_OK)
        return OSAPI_FILE_ERROR;
    *written += size + CLI_TXT_CFG_HEADER_LEN;
    return OSAPI_FILE_OK;
}

} // namespace

void cliTxtCfgDebugSet(int on) { cfgDebug = on != 0; }

bool cliTxtCfgBlockHeader(const uint8_t header[CLI_TXT_CFG_HEADER_LEN], uint32_t* blockLength)
{
    if (get32(header + 4) != CLI_TXT_CFG_MAGIC)
        return false;
    *blockLength = get32(header);
    return true;
}

int cliTxtCfgCmdInit(const char* name, cliTxtCfgCtx* ctx)
{
    std::memset(ctx, 0, sizeof *ctx);
    cfgTrace("cliTxtCfgCmdInit: %s\n", name);
    std::strncpy(ctx->fileName, name, sizeof ctx->fileName - 1);
    ctx->fd = osapiFileOpen(name);
    if (ctx->fd == OSAPI_FILE_ERROR || ctx->fd < 0) {
        cfgTrace("Failed to open %s\n", name);
        ctx->fd = -1;
        return OSAPI_FILE_ERROR;
    }
    ctx->pos = 0;
    ctx->used = 0;
    ctx->avail = CLI_TXT_CFG_TEXT_LEN - 1;
    return OSAPI_FILE_OK;
}

void cliTxtCfgCmdClose(cliTxtCfgCtx* ctx)
{
    if (ctx->fd != -1)
        osapiFileClose(ctx->fd);
    ctx->fd = -1;
}

int cliTxtCfgReadFile(int fd, char* out, uint32_t* len)
{
    Piece p = cfgReadPiece(fd, out, len);
    return (p == PIECE_OK || p == PIECE_END) ? OSAPI_FILE_OK : OSAPI_FILE_ERROR;
}

char* cliTxtCfgCmdGet(cliTxtCfgCtx* ctx, int skipComments)
{
    if (ctx->fd == -1)
        return nullptr;
    for (;;) {
        while (ctx->pos < ctx->used) {
            char* start = ctx->text + ctx->pos;
            uint32_t left = ctx->used - ctx->pos;
            char* lf = static_cast<char*>(std::memchr(start, '\n', left));
            if (lf == nullptr)
                break;
            *lf = '\0';
            uint32_t lineLen = static_cast<uint32_t>(lf - start);
            ctx->pos += lineLen + 1;
            if (ctx->skipping) {
                ctx->skipping = false; /* the end of a line dropped earlier */
                continue;
            }
            if (char* cmd = cfgLineCommand(ctx, start, lineLen, skipComments))
                return cmd;
        }

        uint32_t carry = ctx->used - ctx->pos;
        if (ctx->eof) {
            /* A last line without a new-line is a command too. */
            ctx->pos = ctx->used;
            if (carry > 0 && !ctx->skipping) {
                char* start = ctx->text + ctx->used - carry;
                start[carry] = '\0';
                if (char* cmd = cfgLineCommand(ctx, start, carry, skipComments))
                    return cmd;
            }
            cfgTrace("cliTxtCfgCmdGet: no more commands to read\n");
            return nullptr;
        }

        /* Carry the partial line to the start of the window. A line longer
         * than any command is dropped up to its end. */
        if (ctx->skipping) {
            carry = 0;
        } else if (carry > CLI_TXT_CFG_LINE_MAX) {
            cfgTrace("cliTxtCfgCmdGet: line of more than %u characters dropped\n", CLI_TXT_CFG_LINE_MAX);
            ctx->damaged = true;
            ctx->skipping = true;
            carry = 0;
        }
        std::memmove(ctx->text, ctx->text + ctx->used - carry, carry);
        std::memset(ctx->text + carry, 0, sizeof ctx->text - carry);
        ctx->avail = CLI_TXT_CFG_TEXT_LEN - 1 - carry;
        ctx->pos = 0;
        ctx->used = carry;

        uint32_t got = ctx->avail;
        Piece p = cfgReadPiece(ctx->fd, ctx->text + carry, &got);
        ctx->used = carry + got;
        ctx->text[ctx->used] = '\0';
        if (p == PIECE_END) {
            ctx->eof = true;
        } else if (p == PIECE_IO) {
            ctx->damaged = true;
            ctx->eof = true;
            ctx->used = 0; /* what was carried may be cut anywhere */
        } else if (p == PIECE_BAD) {
            /* The block contributes no text; without a partial line to finish
             * there is nothing to go on with. */
            ctx->damaged = true;
            if (carry == 0) {
                ctx->eof = true;
                cfgTrace("cliTxtCfgCmdGet: no more commands to read\n");
                return nullptr;
            }
        }
    }
}

int cliTxtCfgWriteBlock(int fd, const char* text, uint32_t* len, int compress)
{
    uint32_t n = *len;
    cfgTrace("cliTxtCfgWriteBlock: length = %d\n", static_cast<int>(n));
    *len = 0;
    if (!compress) {
        if (osapiFileWrite(fd, text, n) != OSAPI_FILE_OK)
            return OSAPI_FILE_ERROR;
        *len = n;
        return OSAPI_FILE_OK;
    }
    return cfgWriteCompressed(fd, text, n, len);
}

int cliTxtCfgCopyConfig(const char* src, const char* dst, int compress)
{
    if (src == nullptr) {
        cfgTrace("cliTxtCfgCopyConfig: Error input file\n");
        return OSAPI_FILE_ERROR;
    }
    if (dst == nullptr)
        dst = CLI_TXT_CFG_STARTUP;
    cfgTrace("cliTxtCfgCopyConfig: copying from %s to %s\n", src, dst);

    char writing[PATH_MAX_LEN], ready[PATH_MAX_LEN];
    if (!cfgAsideNames(dst, writing, ready))
        return OSAPI_FILE_ERROR;

    /* The source context is large; it lives in the pool for the copy. */
    cliTxtCfgCtx* ctx = static_cast<cliTxtCfgCtx*>(vx::malloc(sizeof(cliTxtCfgCtx)));
    if (ctx == nullptr)
        return OSAPI_FILE_ERROR;
    if (cliTxtCfgCmdInit(src, ctx) != OSAPI_FILE_OK) {
        cfgTrace("cliTxtCfgCopyConfig: Error not able to intialize input file.\n");
        vx::free(ctx);
        return OSAPI_FILE_ERROR; /* the destination is left as it was */
    }
    int fd = -1;
    if (osapiFileCreate(writing, &fd) != OSAPI_FILE_OK) {
        cliTxtCfgCmdClose(ctx);
        vx::free(ctx);
        return OSAPI_FILE_ERROR;
    }

    char block[CLI_TXT_CFG_BLOCK_LEN];
    std::memset(block, 0, sizeof block);
    uint32_t used = 0;
    bool ok = true;
    while (char* cmd = cliTxtCfgCmdGet(ctx, 0)) {
        cfgTrace("cliTxtCfgCopyConfig: cmd read is %s\n", cmd);
        uint32_t n = static_cast<uint32_t>(std::strlen(cmd));
        if (n + 2 > CLI_TXT_CFG_BLOCK_TEXT) {
            cfgTrace("cliTxtCfgCopyConfig: command of %u characters does not fit a block\n", n);
            ok = false;
            break;
        }
        if (used + n + 2 > CLI_TXT_CFG_BLOCK_TEXT) {
            cfgTrace("cliTxtCfgCopyConfig: block data %s\n", block);
            uint32_t len = used;
            if (cliTxtCfgWriteBlock(fd, block, &len, compress) != OSAPI_FILE_OK) {
                ok = false;
                break;
            }
            std::memset(block, 0, sizeof block);
            used = 0;
        }
        std::memcpy(block + used, cmd, n);
        block[used + n] = '\n';
        block[used + n + 1] = '\n';
        used += n + 2;
    }
    if (ok) {
        cfgTrace("cliTxtCfgCopyConfig: final block %s\n", block);
        uint32_t len = used;
        ok = cliTxtCfgWriteBlock(fd, block, &len, compress) == OSAPI_FILE_OK;
    }
    /* A source that could not be read whole is not copied. */
    if (ctx->damaged)
        ok = false;
    cliTxtCfgCmdClose(ctx);
    vx::free(ctx);
    if (osapiFileClose(fd) != OSAPI_FILE_OK)
        ok = false;

    /* Complete copies only take the "ready" name, so the start-up can tell a
     * finished copy from one cut short. */
    if (ok && vx::renameReplace(writing, ready) == vx::OK && vx::renameReplace(ready, dst) == vx::OK)
        return OSAPI_FILE_OK;
    osapiFileDelete(writing);
    if (cfgFileExists(dst))
        osapiFileDelete(ready);
    return OSAPI_FILE_ERROR;
}

void cliTxtCfgReplaceComplete(const char* dst)
{
    char writing[PATH_MAX_LEN], ready[PATH_MAX_LEN];
    if (!cfgAsideNames(dst, writing, ready))
        return;
    if (cfgFileExists(writing))
        osapiFileDelete(writing);
    if (!cfgFileExists(ready))
        return;
    if (cfgFileExists(dst))
        osapiFileDelete(ready); /* the replace had not begun: the old configuration stays */
    else
        vx::rename(ready, dst);
}
