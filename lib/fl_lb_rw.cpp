// Reading and writing bytes, blocks and lines through a record's cache, forwards and
// backwards, and the slot wrappers of the readers and writers.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "fl_lb.h"
#include "fl_lb_own.h"
#include "mem_lb.h"

namespace {

constexpr std::uint32_t end4 = 4294967295u;  // end of file and failure of the block readers
constexpr std::uint16_t end2 = 65535;        // the same for byte and line readers
// Line buffer of the pointer-returning readers: enough for any value of fl_s_rcsz, which
// callers may change while a record is open.
constexpr std::uint32_t own_rc_sz = 65535u + 1u;

// Entry checks of the readers; true when fd may be read.
bool read_ready(FLDF* fd, const char* rtn) {
    if (err_) return false;
    if (!fd) {
        SM_ERR(rtn, ":NULL fd", nullptr);
        return false;
    }
    if (!fd->fp || !fd->cache) {
        S_ERR(read_err_no_file);
        return false;
    }
    return true;
}

// Raises "Read error on "<fnam>" <what> [rtn]".
void read_err(FLDF* fd, const char* what, const char* rtn) {
    SM_ERR(read_err_on, fd->fnam, "\" ", what, nullptr);
    RTN_ERR(rtn);
}

// Loads the cache-full before the cache's first byte, placed so that the cache's old start
// lands in its middle: going back and forth over that point then needs no reload. False at
// the beginning of the file (cache_ix stays 0), or when the file lost its earlier bytes.
bool fill_back(FLDF* fd) {
    std::uint32_t start = fd->fpos - fd->cache_cnt;
    if (start == 0) return false;
    std::uint32_t step = fd->cache_cnt ? fd->cache_sz / 2 : fd->cache_sz;
    if (step == 0) step = 1;
    FSEEK_(fd, start > step ? start - step : 0);
    if (err_ || READ_(fd) == 0) return false;
    std::uint32_t ix = fd->cache_cnt;
    if (start < fd->fpos) ix -= fd->fpos - start;
    fd->cache_ix = static_cast<std::uint16_t>(ix);
    return ix > 0;
}

// Entry checks of the writers; true when fd may take bytes.
bool write_ready(FLDF* fd, const char* rtn) {
    if (!fd) SM_ERR(rtn, ":NULL fd", nullptr);
    if (err_) return false;
    if (!fd->fp || !fd->cache) {
        S_ERR(write_err_no_file);
        return false;
    }
    return true;
}

// Copies n bytes into the cache, flushing it each time it is full and more is to come.
void put(FLDF* fd, const char* bytes, std::uint32_t n) {
    while (n) {
        if (fd->cache_cnt >= fd->cache_sz) {
            FL_FLUSH(fd, 0);
            if (err_) return;
        }
        std::uint32_t take = std::min<std::uint32_t>(n, fd->cache_sz - fd->cache_cnt);
        std::memcpy(fd->cache + fd->cache_cnt, bytes, take);
        fd->cache_cnt = static_cast<std::uint16_t>(fd->cache_cnt + take);
        bytes += take;
        n -= take;
    }
}

char* own_rc(FLDF* fd, const char* rtn) {
    if (!fd->rc) {
        fd->rc = MEM_AL(own_rc_sz);
        if (RTN_ERR(rtn)) return nullptr;
    }
    return fd->rc;
}

}  // namespace

// ---- Forward reading ----

std::uint16_t FL_B(FLDF* fd) {
    static const char rtn[] = "FL_B";
    if (!read_ready(fd, rtn)) return end2;
    if (fd->cache_ix >= fd->cache_cnt && READ_(fd) == 0) return end2;
    return static_cast<unsigned char>(fd->cache[fd->cache_ix++]);
}

std::uint32_t FL_BF(FLDF* fd, char* bf, std::uint32_t n, char eof_err) {
    static const char rtn[] = "FL_BF";
    fl_overflow_rdsz = end4;
    if (err_ || n == 0) return end4;
    if (bf) bf[0] = '\0';
    if (!read_ready(fd, rtn)) return end4;
    if (!bf) {
        read_err(fd, "(NULL bf)", rtn);
        return end4;
    }
    std::uint32_t done = 0;
    while (done < n) {
        if (fd->cache_ix >= fd->cache_cnt) {
            if (err_) return done;
            if (READ_(fd) == 0) {
                if (done || err_) return done;
                if (eof_err) read_err(fd, "(EOF)", rtn);
                return end4;
            }
        }
        std::uint32_t take = std::min<std::uint32_t>(n - done, fd->cache_cnt - fd->cache_ix);
        std::memcpy(bf + done, fd->cache + fd->cache_ix, take);
        fd->cache_ix = static_cast<std::uint16_t>(fd->cache_ix + take);
        done += take;
    }
    return done;
}

std::uint16_t FL_BF(FLDF* fd, char* bf, std::uint16_t n, char eof_err) {
    return static_cast<std::uint16_t>(FL_BF(fd, bf, std::uint32_t{n}, eof_err));
}

std::uint16_t FL_S(FLDF* fd, char* rc, std::uint16_t mx, char eof_err) {
    static const char rtn[] = "FL_S";
    fl_overflow_rdsz = end4;
    if (err_) return end2;
    if (rc) rc[0] = '\0';
    if (!read_ready(fd, rtn)) return end2;
    if (mx == end2) mx = fl_rc_mxs;
    if (!rc) {
        read_err(fd, "(NULL rc)", rtn);
        return end2;
    }
    std::uint32_t len = 0;
    for (;;) {
        if (fd->cache_ix >= fd->cache_cnt) {
            READ_(fd);
            if (err_) return end2;
            if (fd->cache_cnt == 0) {
                // A last line without a line end still counts.
                if (len) {
                    ++fd->ln;
                    rc[len] = '\0';
                    return static_cast<std::uint16_t>(len);
                }
                if (eof_err) read_err(fd, "(EOF)", rtn);
                return end2;
            }
        }
        const char* at = fd->cache + fd->cache_ix;
        std::uint32_t avail = fd->cache_cnt - fd->cache_ix;
        std::uint32_t room = mx - len;
        // One byte past the room is looked at: a line end there still ends a full line.
        std::uint32_t window = std::min(avail, room + 1);
        std::uint32_t j = 0;
        while (j < window && at[j] != '\r' && at[j] != '\n') ++j;
        if (j < window) {
            std::memcpy(rc + len, at, j);
            len += j;
            rc[len] = '\0';
            ++fd->ln;
            fd->cache_ix = static_cast<std::uint16_t>(fd->cache_ix + j + 1);
            if (at[j] == '\r') {
                if (fd->cache_ix >= fd->cache_cnt) READ_(fd);
                if (fd->cache_ix < fd->cache_cnt && fd->cache[fd->cache_ix] == '\n') {
                    ++fd->cache_ix;
                    fd->crlf = 1;
                }
            }
            return static_cast<std::uint16_t>(len);
        }
        if (avail > room) {
            // The position stays on the first byte that does not fit. The record is
            // terminated all the same, so that a careless caller cannot run past it.
            std::memcpy(rc + len, at, room);
            len += room;
            rc[len] = '\0';
            fd->cache_ix = static_cast<std::uint16_t>(fd->cache_ix + room);
            fl_overflow_rdsz = len;
            SM_ERR(read_err_on, fd->fnam, "\" (rec overflow on line ", Dec(fd->ln).text, ")", nullptr);
            RTN_ERR(rtn);
            return end2;
        }
        std::memcpy(rc + len, at, avail);
        len += avail;
        fd->cache_ix = fd->cache_cnt;
    }
}

char* FL_S(FLDF* fd, char eof_err) {
    static const char rtn[] = "FL_S";
    fl_overflow_rdsz = end4;
    if (!read_ready(fd, rtn)) return nullptr;
    char* rc = own_rc(fd, rtn);
    if (!rc) return nullptr;
    std::uint16_t len = FL_S(fd, rc, fl_s_rcsz, eof_err);
    return len == end2 || err_ ? nullptr : rc;
}

// ---- Backward reading ----

std::uint16_t FL_B_RV(FLDF* fd) {
    static const char rtn[] = "FL_B_RV";
    if (!read_ready(fd, rtn)) return end2;
    if (fd->cache_ix == 0 && !fill_back(fd)) {
        RTN_ERR(rtn);
        return end2;
    }
    return static_cast<unsigned char>(fd->cache[--fd->cache_ix]);
}

std::uint32_t FL_BF_RV(FLDF* fd, char* bf, std::uint32_t n, char bof_err) {
    static const char rtn[] = "FL_BF_RV";
    if (!read_ready(fd, rtn)) return end4;
    std::uint32_t p = FL_P(fd);
    if (p < n) {
        if (bof_err) {
            read_err(fd, "(BOF)", rtn);
            return end4;
        }
        n = p;
    }
    P_FL(fd, p - n);
    std::uint32_t got = FL_BF(fd, bf, n, bof_err);
    P_FL(fd, p - n);
    RTN_ERR(rtn);
    return got;
}

std::uint16_t FL_BF_RV(FLDF* fd, char* bf, std::uint16_t n, char bof_err) {
    return static_cast<std::uint16_t>(FL_BF_RV(fd, bf, std::uint32_t{n}, bof_err));
}

std::uint16_t FL_S_RV(FLDF* fd, char* rc, std::uint16_t mx, char bof_err) {
    static const char rtn[] = "FL_S_RV";
    if (err_) return end2;
    if (rc) rc[0] = '\0';
    if (!read_ready(fd, rtn)) return end2;
    // Back over the current line's end to the LF that ends the line before it.
    std::uint32_t lfs = 0;
    for (;;) {
        if (fd->cache_ix == 0 && !fill_back(fd)) {
            if (RTN_ERR(rtn)) return end2;
            if (lfs) break;  // the line starts at the beginning of the file
            fd->ln = 0;
            if (bof_err) read_err(fd, "(BOF)", rtn);
            return end2;
        }
        const void* lf = memrchr(fd->cache, '\n', fd->cache_ix);
        if (!lf) {
            fd->cache_ix = 0;
            continue;
        }
        fd->cache_ix = static_cast<std::uint16_t>(static_cast<const char*>(lf) - fd->cache);
        if (++lfs == 2) {
            ++fd->cache_ix;
            break;
        }
    }
    std::uint32_t p = FL_P(fd);
    if (fd->ln > 0) --fd->ln;
    std::uint32_t kept = fd->ln;
    std::uint16_t len = FL_S(fd, rc, mx, bof_err);
    P_FL(fd, p);
    fd->ln = kept;
    RTN_ERR(rtn);
    return len;
}

char* FL_S_RV(FLDF* fd, char bof_err) {
    static const char rtn[] = "FL_S_RV";
    if (!read_ready(fd, rtn)) return nullptr;
    char* rc = own_rc(fd, rtn);
    if (!rc) return nullptr;
    std::uint16_t len = FL_S_RV(fd, rc, fl_s_rcsz, bof_err);
    return len == end2 || err_ ? nullptr : rc;
}

char LN_FL(FLDF* fd, std::uint32_t n, char nf_err) {
    static const char rtn[] = "LN_FL";
    if (!fd) SM_ERR(rtn, ":NULL fd", nullptr);
    if (err_) return 0;
    if (!fd->fp) {
        S_ERR(write_err_no_file);
        return 0;
    }
    P_FL(fd, 0);
    fd->ln = 0;
    while (!err_) {
        if (fd->ln == n) return 1;
        if (!FL_S(fd, 0)) break;
    }
    if (RTN_ERR(rtn)) return 0;
    if (nf_err) SM_ERR("Line ", Dec(n).text, " not found", nullptr);
    return 0;
}

// ---- Writing ----

void BF_FL(FLDF* fd, const char* bf, std::uint32_t n) {
    static const char rtn[] = "BF_FL";
    if (!fd) SM_ERR(rtn, ":NULL fd", nullptr);
    if (err_ || !bf) return;
    if (!write_ready(fd, rtn)) return;
    if (n == end4) n = static_cast<std::uint32_t>(std::strlen(bf));
    put(fd, bf, n);
}

void S_FL(FLDF* fd, const char* s) {
    static const char rtn[] = "S_FL";
    if (!write_ready(fd, rtn)) return;
    if (s) put(fd, s, static_cast<std::uint32_t>(std::strlen(s)));
    if (!err_ && fd->crlf == 1) put(fd, "\r", 1);
    if (err_) return;
    put(fd, "\n", 1);
    if (!err_) ++fd->ln;
}

void SM_FL_list(FLDF* fd, const char* const* texts, std::size_t n) {
    if (err_) return;
    for (std::size_t i = 0; i < n && i < lb_list_mxc && texts[i]; ++i) {
        BF_FL(fd, texts[i], end4);
        if (err_) return;
    }
    S_FL(fd, nullptr);
}

void B_FL(FLDF* fd, char c) {
    static const char rtn[] = "B_FL";
    if (!write_ready(fd, rtn)) return;
    put(fd, &c, 1);
}

void FILE_WFP(const char* fnam, FLDF* wfp) {
    static const char rtn[] = "FILE_WFP";
    if (err_) return;
    if (FLDF* rd = FL_OP(fnam, 0, 2, 0, nullptr)) {
        while (char* line = FL_S(rd, 0)) {
            S_FL(wfp, line);
            if (err_) break;
        }
        FL_CL(rd, 1);
    }
    RTN_ERR(rtn);
}

// ---- Slot wrappers ----

std::uint16_t FLR_B() { return FL_B(&flr_fd); }
std::uint16_t FLR1_B() { return FL_B(&flr1_fd); }
std::uint16_t FLR2_B() { return FL_B(&flr2_fd); }
std::uint16_t FLR_B_RV() { return FL_B_RV(&flr_fd); }
std::uint16_t FLR1_B_RV() { return FL_B_RV(&flr1_fd); }
std::uint16_t FLR2_B_RV() { return FL_B_RV(&flr2_fd); }
std::uint32_t FLR_BF(char* bf, std::uint32_t n, char eof_err) { return FL_BF(&flr_fd, bf, n, eof_err); }
std::uint32_t FLR1_BF(char* bf, std::uint32_t n, char eof_err) { return FL_BF(&flr1_fd, bf, n, eof_err); }
std::uint32_t FLR2_BF(char* bf, std::uint32_t n, char eof_err) { return FL_BF(&flr2_fd, bf, n, eof_err); }
std::uint16_t FLR_BF(char* bf, std::uint16_t n, char eof_err) { return FL_BF(&flr_fd, bf, n, eof_err); }
std::uint16_t FLR1_BF(char* bf, std::uint16_t n, char eof_err) { return FL_BF(&flr1_fd, bf, n, eof_err); }
std::uint16_t FLR2_BF(char* bf, std::uint16_t n, char eof_err) { return FL_BF(&flr2_fd, bf, n, eof_err); }
std::uint32_t FLR_BF_RV(char* bf, std::uint32_t n, char bof_err) { return FL_BF_RV(&flr_fd, bf, n, bof_err); }
std::uint32_t FLR1_BF_RV(char* bf, std::uint32_t n, char bof_err) { return FL_BF_RV(&flr1_fd, bf, n, bof_err); }
std::uint32_t FLR2_BF_RV(char* bf, std::uint32_t n, char bof_err) { return FL_BF_RV(&flr2_fd, bf, n, bof_err); }
std::uint16_t FLR_BF_RV(char* bf, std::uint16_t n, char bof_err) { return FL_BF_RV(&flr_fd, bf, n, bof_err); }
std::uint16_t FLR1_BF_RV(char* bf, std::uint16_t n, char bof_err) { return FL_BF_RV(&flr1_fd, bf, n, bof_err); }
std::uint16_t FLR2_BF_RV(char* bf, std::uint16_t n, char bof_err) { return FL_BF_RV(&flr2_fd, bf, n, bof_err); }
std::uint16_t FLR_S(char* rc, std::uint16_t mx, char eof_err) { return FL_S(&flr_fd, rc, mx, eof_err); }
std::uint16_t FLR1_S(char* rc, std::uint16_t mx, char eof_err) { return FL_S(&flr1_fd, rc, mx, eof_err); }
std::uint16_t FLR2_S(char* rc, std::uint16_t mx, char eof_err) { return FL_S(&flr2_fd, rc, mx, eof_err); }
std::uint16_t FLR_S_RV(char* rc, std::uint16_t mx, char bof_err) { return FL_S_RV(&flr_fd, rc, mx, bof_err); }
std::uint16_t FLR1_S_RV(char* rc, std::uint16_t mx, char bof_err) { return FL_S_RV(&flr1_fd, rc, mx, bof_err); }
std::uint16_t FLR2_S_RV(char* rc, std::uint16_t mx, char bof_err) { return FL_S_RV(&flr2_fd, rc, mx, bof_err); }

void BF_FLW(const char* bf, std::uint32_t n) { BF_FL(&flw_fd, bf, n); }
void BF_FLW1(const char* bf, std::uint32_t n) { BF_FL(&flw1_fd, bf, n); }
void BF_FLW2(const char* bf, std::uint32_t n) { BF_FL(&flw2_fd, bf, n); }
void S_FLW(const char* s) { S_FL(&flw_fd, s); }
void S_FLW1(const char* s) { S_FL(&flw1_fd, s); }
void S_FLW2(const char* s) { S_FL(&flw2_fd, s); }
void B_FLW(char c) { B_FL(&flw_fd, c); }
void B_FLW1(char c) { B_FL(&flw1_fd, c); }
void B_FLW2(char c) { B_FL(&flw2_fd, c); }
