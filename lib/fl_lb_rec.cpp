// File records: the six standard slots, opening, closing, flushing and positioning a
// record, and the line-end convention of a file.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "fl_lb.h"
#include "fl_lb_own.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "s_mt.h"
#include "tm_lb.h"

std::uint16_t fl_rc_mxs = 256;
std::uint16_t fl_cache_mxs = 65280;
std::uint16_t fl_s_rcsz = 65520;
std::uint32_t fl_overflow_rdsz = 4294967295u;

const char* open_err_on = "Open error on \"";
const char* read_err_on = "Read error on \"";
const char* write_err_on = "Write error on \"";
const char* read_err_no_file = "Read error (no file opened)";
const char* write_err_no_file = "Write error (no file opened)";

namespace {

constexpr FLDF closed_slot(unsigned char wtc) {
    FLDF fd;
    fd.wtc = wtc;
    fd.crlf = 2;
    return fd;
}

// Cache of a file opened for reading when the file is empty.
constexpr std::uint32_t empty_file_cache_sz = 16;
// How much of a file FILE_CRLF looks at for its first line end.
constexpr std::size_t crlf_probe_sz = 512;
// Pause before the one retry of an open that failed (a file being replaced, say).
constexpr std::uint32_t open_retry_ms = 10;
constexpr std::uint32_t execute_bits = 0111;

bool ends_in_sh(const char* fnam) { return S_END_MT(fnam, ".sh", 0, 1, 0) != 0; }

}  // namespace

bool fl_local_utm(std::time_t t, UTMDF& utm) {
    std::tm tm{};
    const bool known = localtime_r(&t, &tm) != nullptr;
    utm.year = static_cast<std::uint16_t>(tm.tm_year + 1900);
    utm.mon = static_cast<std::uint8_t>(tm.tm_mon + 1);
    utm.day = static_cast<std::uint8_t>(tm.tm_mday);
    utm.wday = static_cast<std::uint8_t>(tm.tm_wday + 1);
    utm.hour = static_cast<std::uint8_t>(tm.tm_hour);
    utm.min = static_cast<std::uint8_t>(tm.tm_min);
    utm.sec = static_cast<std::uint8_t>(tm.tm_sec);
    utm.msec = 0;
    return known;
}

FLDF flr_fd = closed_slot(0), flr1_fd = closed_slot(0), flr2_fd = closed_slot(0);
FLDF flw_fd = closed_slot(1), flw1_fd = closed_slot(1), flw2_fd = closed_slot(1);

void FL_OP_ERR(const char* fnam, const char* d1, const char* d2, const char* d3) {
    SM_ERR(open_err_on, fnam, "\"", d1, d2, d3, nullptr);
}

FLDF* FL_OP(const char* fnam, char wtc, char crlf, char stat, FLDF* fd) {
    static const char rtn[] = "FL_OP";
    if (!fnam) SM_ERR(rtn, ":fnam=NULL", nullptr);
    if (err_) return nullptr;

    const char* how = wtc == 0 ? "rb" : wtc == 1 ? "wb" : wtc == 2 ? "ab" : nullptr;
    if (!how) {
        FL_OP_ERR(fnam, " (invalid wtc)");
        return nullptr;
    }
    std::FILE* opened = std::fopen(fnam, how);
    if (!opened) {
        SLEEP_MS(open_retry_ms);
        opened = std::fopen(fnam, how);
    }
    if (!opened) {
        FL_OP_ERR(fnam);
        return nullptr;
    }
    LbStream stream(opened);

    std::uint32_t size = 0;
    if (wtc == 0) {
        size = static_cast<std::uint32_t>(FILE_SZ(fnam, 1));
        if (RTN_ERR(rtn)) return nullptr;
    }
    struct stat st {};
    if (stat && ::stat(fnam, &st) != 0) {
        FL_OP_ERR(fnam, " (stat)");
        return nullptr;
    }

    std::uint32_t cap = fl_cache_mxs ? fl_cache_mxs : 1;  // a cache of 0 could never move a byte
    std::uint32_t cache_sz = cap;
    if (wtc == 0) cache_sz = std::min(size ? size : empty_file_cache_sz, cap);
    LbOwned cache(MEM_AL(cache_sz));
    if (!cache) {
        const char* why = ERR_S();
        FL_OP_ERR(fnam, " (", why, ")");
        return nullptr;
    }

    LbOwned name(S_CP(fnam));
    FLDF* rec = fd;
    if (!err_ && !rec) {
        char* block = MEM_AL(sizeof(FLDF));
        if (block) rec = new (block) FLDF;
    }
    if (RTN_ERR(rtn)) return nullptr;

    // Positions of an appended file stay absolute: they count from its size before the open.
    std::uint32_t append_base = 0;
    if (wtc == 2) {
        struct stat now {};
        if (::fstat(fileno(opened), &now) == 0) append_base = static_cast<std::uint32_t>(now.st_size);
    }

    rec->fp = stream.release();
    rec->fnam = name.release();
    rec->wtc = static_cast<unsigned char>(wtc);
    rec->sz = wtc == 0 ? size : 0;
    rec->cache = cache.release();
    rec->cache_sz = cache_sz;
    rec->rc = nullptr;
    // Judged after the open: a file opened for writing is already empty, so only its name counts.
    rec->crlf = static_cast<unsigned char>(static_cast<unsigned char>(crlf) > 1 ? FILE_CRLF(fnam) : crlf);
    rec->ln = 0;
    rec->cache_cnt = 0;
    rec->cache_ix = 0;
    rec->fpos = append_base;
    if (stat) {
        rec->mode = static_cast<std::uint32_t>(st.st_mode);
        fl_local_utm(st.st_mtime, rec->utm);
    }
    return rec;
}

FLDF* FL_CL(FLDF* fd, char release) {
    static const char rtn[] = "FL_CL";
    if (!fd) return nullptr;
    if (fd->fp) {
        // Waiting data reaches the file even when an error is already pending.
        if (fd->wtc) FL_FLUSH(fd, 0);
        // The stream's last buffer is written here: a failure is data lost, so it is told.
        bool closed = std::fclose(fd->fp) == 0;
        fd->fp = nullptr;
        if (!closed && fd->wtc && !err_) {
            SM_ERR(write_err_on, fd->fnam, "\"", nullptr);
            RTN_ERR(rtn);
        }
        if (fd->wtc && fd->fnam) {
            PSH_ERR();
            const char* fnam = fd->fnam;
            if (ends_in_sh(fnam) || !std::strchr(fnam, '.')) {
                // Only regular files: a device such as /dev/null keeps its mode.
                std::uint32_t mode = FILE_MODE(fnam);
                if (!err_ && S_ISREG(mode)) MODE_FILE(mode | execute_bits, fnam);
            }
            POP_ERR();
        }
    }
    MEM_FR(&fd->rc);
    MEM_FR(&fd->cache);
    MEM_FR(&fd->fnam);
    fd->fp = nullptr;
    if (release) {
        fd->~FLDF();
        MEM_FR(&fd);
        return nullptr;
    }
    return fd;
}

void FL_FLUSH(FLDF* fd, char sync) {
    static const char rtn[] = "FL_FLUSH";
    // A record that lost its stream or cache (closed after a failed flush) has nowhere to write.
    if (!fd || !fd->fp || !fd->cache || fd->cache_cnt == 0) return;
    std::size_t count = fd->cache_cnt;
    std::size_t written = std::fwrite(fd->cache, 1, count, fd->fp);
    bool ok = written == count;
    if (ok) {
        fd->cache_cnt = 0;
        fd->fpos += static_cast<std::uint32_t>(count);
    } else {
        long at = std::ftell(fd->fp);
        if (at >= 0) fd->fpos = static_cast<std::uint32_t>(at);
    }
    if (sync && std::fflush(fd->fp) != 0) ok = false;
    if (!ok) {
        SM_ERR(write_err_on, fd->fnam, "\"", nullptr);
        RTN_ERR(rtn);
    }
}

std::uint16_t READ_(FLDF* fd) {
    if (err_) return 0;
    fd->cache_ix = 0;
    fd->cache_cnt = 0;
    if (!fd->fp || !fd->cache) return 0;
    std::size_t got = std::fread(fd->cache, 1, fd->cache_sz, fd->fp);
    fd->cache_cnt = static_cast<std::uint16_t>(got);
    fd->fpos += static_cast<std::uint32_t>(got);
    return fd->cache_cnt;
}

std::uint32_t FL_P(FLDF* fd) {
    static const char rtn[] = "FL_P";
    if (!fd) SM_ERR(rtn, ":NULL fd", nullptr);
    if (err_) return 0;
    if (!fd->fp) {
        S_ERR(write_err_no_file);
        return 0;
    }
    if (fd->wtc == 0) return fd->fpos - fd->cache_cnt + fd->cache_ix;
    return fd->fpos + fd->cache_cnt;
}

void P_FL(FLDF* fd, std::uint32_t pos) {
    static const char rtn[] = "P_FL";
    if (!fd) SM_ERR(rtn, ":NULL fd", nullptr);
    if (err_) return;
    if (!fd->fp) {
        S_ERR(write_err_no_file);
        return;
    }
    if (pos == 0) fd->ln = 0;
    if (fd->wtc != 0) {
        if (pos >= fd->fpos && pos - fd->fpos < fd->cache_cnt) {
            fd->cache_cnt = static_cast<std::uint16_t>(pos - fd->fpos);  // drops what followed pos
            return;
        }
        FL_FLUSH(fd, 0);
    } else {
        std::uint32_t start = fd->fpos - fd->cache_cnt;
        if (pos < fd->fpos && pos >= start) {
            fd->cache_ix = static_cast<std::uint16_t>(pos - start);
            return;
        }
    }
    FSEEK_(fd, pos);
    fd->cache_cnt = 0;
    fd->cache_ix = 0;
}

void FSEEK_(FLDF* fd, std::uint32_t off) {
    if (err_) return;
    if (!fd || !fd->fp) {
        SM_ERR("fseek failure:", Dec(off).text, "/0", nullptr);
        return;
    }
    if (off <= fd->sz) {
        if (std::fseek(fd->fp, static_cast<long>(off), SEEK_SET) == 0) {
            fd->fpos = off;
            return;
        }
        long at = std::ftell(fd->fp);
        if (at >= 0) fd->fpos = static_cast<std::uint32_t>(at);
    }
    SM_ERR("fseek failure:", Dec(off).text, "/", Dec(fd->sz).text, nullptr);
}

char FILE_CRLF(const char* fnam) {
    static const char* lastfnam = nullptr;
    static char lastcrlf = 0;
    if (err_) return 1;
    if (fnam == lastfnam) return lastcrlf;
    lastfnam = fnam;

    char answer = 2;  // undecided
    if (std::FILE* fp = fnam ? std::fopen(fnam, "rb") : nullptr) {
        char bf[crlf_probe_sz + 1];
        std::size_t got = std::fread(bf, 1, crlf_probe_sz, fp);
        std::fclose(fp);
        for (std::size_t i = 0; i < got && answer == 2; ++i) {
            if (bf[i] == '\n') answer = 0;
            else if (bf[i] == '\r') answer = 1;
        }
    }
    if (answer == 2) {
        // Scripts want LF; other names with an extension are taken for DOS-style texts.
        if (!fnam || ends_in_sh(fnam)) answer = 0;
        else answer = *fnam && std::strchr(fnam + 1, '.') ? 1 : 0;
    }
    lastcrlf = answer;
    return answer;
}

// ---- Slot wrappers ----

namespace {

FLDF* slot_op(FLDF& slot, const char* busy, const char* fnam, char wtc, char crlf, char stat) {
    if (slot.fp) FL_OP_ERR(fnam, busy);
    return FL_OP(fnam, wtc, crlf, stat, &slot);
}

std::uint32_t slot_field(const FLDF& slot, std::uint32_t FLDF::*field) {
    if (err_) return 0;
    if (!slot.fp) {
        S_ERR(read_err_no_file);
        return 0;
    }
    return slot.*field;
}

}  // namespace

FLDF* FLR_OP(const char* fnam, char stat) { return slot_op(flr_fd, " (FLR used)", fnam, 0, 2, stat); }
FLDF* FLR1_OP(const char* fnam, char stat) { return slot_op(flr1_fd, " (FLR1 used)", fnam, 0, 2, stat); }
FLDF* FLR2_OP(const char* fnam, char stat) { return slot_op(flr2_fd, " (FLR2 used)", fnam, 0, 2, stat); }
FLDF* FLR_CL() { return FL_CL(&flr_fd, 0); }
FLDF* FLR1_CL() { return FL_CL(&flr1_fd, 0); }
FLDF* FLR2_CL() { return FL_CL(&flr2_fd, 0); }
std::uint32_t FLR_P() { return FL_P(&flr_fd); }
std::uint32_t FLR1_P() { return FL_P(&flr1_fd); }
std::uint32_t FLR2_P() { return FL_P(&flr2_fd); }
void P_FLR(std::uint32_t pos) { P_FL(&flr_fd, pos); }
void P_FLR1(std::uint32_t pos) { P_FL(&flr1_fd, pos); }
void P_FLR2(std::uint32_t pos) { P_FL(&flr2_fd, pos); }
std::uint32_t FLR_SZ() { return slot_field(flr_fd, &FLDF::sz); }
std::uint32_t FLR1_SZ() { return slot_field(flr1_fd, &FLDF::sz); }
std::uint32_t FLR2_SZ() { return slot_field(flr2_fd, &FLDF::sz); }
std::uint32_t FLR_LN() { return slot_field(flr_fd, &FLDF::ln); }
std::uint32_t FLR1_LN() { return slot_field(flr1_fd, &FLDF::ln); }
std::uint32_t FLR2_LN() { return slot_field(flr2_fd, &FLDF::ln); }

FLDF* FLW_OP(const char* fnam, char wtc, char crlf, char stat) {
    return slot_op(flw_fd, " (FLW used)", fnam, wtc, crlf, stat);
}
FLDF* FLW1_OP(const char* fnam, char wtc, char crlf, char stat) {
    return slot_op(flw1_fd, " (FLW1 used)", fnam, wtc, crlf, stat);
}
FLDF* FLW2_OP(const char* fnam, char wtc, char crlf, char stat) {
    return slot_op(flw2_fd, " (FLW2 used)", fnam, wtc, crlf, stat);
}
FLDF* FLW_CL() { return FL_CL(&flw_fd, 0); }
FLDF* FLW1_CL() { return FL_CL(&flw1_fd, 0); }
FLDF* FLW2_CL() { return FL_CL(&flw2_fd, 0); }
void FLW_FLUSH(char sync) { FL_FLUSH(&flw_fd, sync); }
void FLW1_FLUSH(char sync) { FL_FLUSH(&flw1_fd, sync); }
void FLW2_FLUSH(char sync) { FL_FLUSH(&flw2_fd, sync); }
std::uint32_t FLW_P() { return FL_P(&flw_fd); }
std::uint32_t FLW1_P() { return FL_P(&flw1_fd); }
std::uint32_t FLW2_P() { return FL_P(&flw2_fd); }
void P_FLW(std::uint32_t pos) { P_FL(&flw_fd, pos); }
void P_FLW1(std::uint32_t pos) { P_FL(&flw1_fd, pos); }
void P_FLW2(std::uint32_t pos) { P_FL(&flw2_fd, pos); }
