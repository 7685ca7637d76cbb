// File records, whole-file operations, listing, paths, editing, moving and copying.
#ifndef LB_FL_LB_H
#define LB_FL_LB_H

#include <cstdio>

#include "err_lb.h"
#include "ut_dt.h"

extern std::uint16_t fl_rc_mxs;  // longest record (line) of the file layer

// ---- File records and slots ----
//
// Every file read or written piece by piece is held in an FLDF record; all bytes pass
// through the record's own cache. A record is open exactly while fp is not null.

struct FLDF {
    std::FILE* fp = nullptr;
    char* fnam = nullptr;             // owned copy of the name while open
    unsigned char wtc = 0;            // 0 read, 1 write (created or truncated), 2 append
    unsigned char crlf = 0;           // lines written end with CR LF (1) or LF (0)
    std::uint32_t sz = 0;             // size at open for reading (bound of FSEEK_), else 0
    std::uint32_t mode = 0;           // stat mode bits, when the open asked for them
    UTMDF utm{};                      // modification time, when the open asked for it
    char* rc = nullptr;               // line buffer of the pointer-returning line readers
    char* cache = nullptr;
    std::uint32_t cache_sz = 0;
    std::uint16_t cache_cnt = 0;      // reading: bytes loaded; writing: bytes waiting
    std::uint16_t cache_ix = 0;       // reading: next byte to hand out
    std::uint32_t fpos = 0;           // reading: offset after the cache; writing: bytes flushed
    std::uint32_t ln = 0;             // lines read or written since the open
};

extern FLDF flr_fd, flr1_fd, flr2_fd;  // reading slots
extern FLDF flw_fd, flw1_fd, flw2_fd;  // writing slots

extern std::uint16_t fl_cache_mxs;       // largest cache of a record (65280)
extern std::uint16_t fl_s_rcsz;          // longest line of the pointer-returning readers
extern std::uint32_t fl_overflow_rdsz;   // length reached by the last overflowing line
extern const char* open_err_on;          // "Open error on \""
extern const char* read_err_on;          // "Read error on \""
extern const char* write_err_on;         // "Write error on \""
extern const char* read_err_no_file;     // "Read error (no file opened)"
extern const char* write_err_no_file;    // "Write error (no file opened)"

// wtc 0 "rb", 1 "wb", 2 "ab"; crlf 2 or more decides by FILE_CRLF; stat fills mode and utm.
// A null fd allocates the record, which the caller releases with FL_CL(fd, 1).
FLDF* FL_OP(const char* fnam, char wtc, char crlf, char stat, FLDF* fd);
// Flushes a written record (even while an error is pending), closes and releases what the
// record owns. A written file named "*.sh" or without any "." gets the execute bits.
FLDF* FL_CL(FLDF* fd, char release);
void FL_FLUSH(FLDF* fd, char sync);
std::uint32_t FL_P(FLDF* fd);
void P_FL(FLDF* fd, std::uint32_t pos);
void FSEEK_(FLDF* fd, std::uint32_t off);
std::uint16_t READ_(FLDF* fd);
void FL_OP_ERR(const char* fnam, const char* d1 = nullptr, const char* d2 = nullptr,
               const char* d3 = nullptr);
// 1 when the file's first line end is CR (or, failing that, by its name); the answer is
// kept for the very same name pointer.
char FILE_CRLF(const char* fnam);

FLDF* FLR_OP(const char* fnam, char stat);
FLDF* FLR1_OP(const char* fnam, char stat);
FLDF* FLR2_OP(const char* fnam, char stat);
FLDF* FLR_CL();
FLDF* FLR1_CL();
FLDF* FLR2_CL();
std::uint32_t FLR_P();
std::uint32_t FLR1_P();
std::uint32_t FLR2_P();
void P_FLR(std::uint32_t pos);
void P_FLR1(std::uint32_t pos);
void P_FLR2(std::uint32_t pos);
std::uint32_t FLR_SZ();
std::uint32_t FLR1_SZ();
std::uint32_t FLR2_SZ();
std::uint32_t FLR_LN();
std::uint32_t FLR1_LN();
std::uint32_t FLR2_LN();

FLDF* FLW_OP(const char* fnam, char wtc, char crlf, char stat);
FLDF* FLW1_OP(const char* fnam, char wtc, char crlf, char stat);
FLDF* FLW2_OP(const char* fnam, char wtc, char crlf, char stat);
FLDF* FLW_CL();
FLDF* FLW1_CL();
FLDF* FLW2_CL();
void FLW_FLUSH(char sync);
void FLW1_FLUSH(char sync);
void FLW2_FLUSH(char sync);
std::uint32_t FLW_P();
std::uint32_t FLW1_P();
std::uint32_t FLW2_P();
void P_FLW(std::uint32_t pos);
void P_FLW1(std::uint32_t pos);
void P_FLW2(std::uint32_t pos);

// ---- Record reading and writing ----
//
// Lines end with LF, CR LF or a lone CR. Byte readers give 65535, block readers 4294967295
// (their 16-bit twins 65535), line readers 65535 or null at the end (beginning) of the file
// and on failure. A caller's line buffer holds the limit plus one byte; a limit of 65535
// means fl_rc_mxs. The 16-bit block forms are picked by an std::uint16_t count.

std::uint16_t FL_B(FLDF* fd);
std::uint32_t FL_BF(FLDF* fd, char* bf, std::uint32_t n, char eof_err);
std::uint16_t FL_BF(FLDF* fd, char* bf, std::uint16_t n, char eof_err);
std::uint16_t FL_S(FLDF* fd, char* rc, std::uint16_t mx, char eof_err);
// The line in the record's own buffer, valid until the next line read or the close.
char* FL_S(FLDF* fd, char eof_err);

// Backward reading: the byte, bytes or line before the current position, which moves back.
std::uint16_t FL_B_RV(FLDF* fd);
std::uint32_t FL_BF_RV(FLDF* fd, char* bf, std::uint32_t n, char bof_err);
std::uint16_t FL_BF_RV(FLDF* fd, char* bf, std::uint16_t n, char bof_err);
std::uint16_t FL_S_RV(FLDF* fd, char* rc, std::uint16_t mx, char bof_err);
char* FL_S_RV(FLDF* fd, char bof_err);

// Positions before line n (from 0); 1 when the file has that many lines.
char LN_FL(FLDF* fd, std::uint32_t n, char nf_err);

// n 4294967295 means the length of bf as a text.
void BF_FL(FLDF* fd, const char* bf, std::uint32_t n);
// One line with the record's line end; a null s writes an empty line.
void S_FL(FLDF* fd, const char* s);
void SM_FL_list(FLDF* fd, const char* const* texts, std::size_t n);
template <typename... T>
void SM_FL(FLDF* fd, const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "SM_FL takes texts only");
    const char* texts[] = {first, rest...};
    SM_FL_list(fd, texts, sizeof...(T) + 1);
}
void B_FL(FLDF* fd, char c);
// Appends the lines of fnam to the open record wfp, with wfp's line ends.
void FILE_WFP(const char* fnam, FLDF* wfp);

std::uint16_t FLR_B();
std::uint16_t FLR1_B();
std::uint16_t FLR2_B();
std::uint16_t FLR_B_RV();
std::uint16_t FLR1_B_RV();
std::uint16_t FLR2_B_RV();
std::uint32_t FLR_BF(char* bf, std::uint32_t n, char eof_err);
std::uint32_t FLR1_BF(char* bf, std::uint32_t n, char eof_err);
std::uint32_t FLR2_BF(char* bf, std::uint32_t n, char eof_err);
std::uint16_t FLR_BF(char* bf, std::uint16_t n, char eof_err);
std::uint16_t FLR1_BF(char* bf, std::uint16_t n, char eof_err);
std::uint16_t FLR2_BF(char* bf, std::uint16_t n, char eof_err);
std::uint32_t FLR_BF_RV(char* bf, std::uint32_t n, char bof_err);
std::uint32_t FLR1_BF_RV(char* bf, std::uint32_t n, char bof_err);
std::uint32_t FLR2_BF_RV(char* bf, std::uint32_t n, char bof_err);
std::uint16_t FLR_BF_RV(char* bf, std::uint16_t n, char bof_err);
std::uint16_t FLR1_BF_RV(char* bf, std::uint16_t n, char bof_err);
std::uint16_t FLR2_BF_RV(char* bf, std::uint16_t n, char bof_err);
std::uint16_t FLR_S(char* rc, std::uint16_t mx, char eof_err);
std::uint16_t FLR1_S(char* rc, std::uint16_t mx, char eof_err);
std::uint16_t FLR2_S(char* rc, std::uint16_t mx, char eof_err);
std::uint16_t FLR_S_RV(char* rc, std::uint16_t mx, char bof_err);
std::uint16_t FLR1_S_RV(char* rc, std::uint16_t mx, char bof_err);
std::uint16_t FLR2_S_RV(char* rc, std::uint16_t mx, char bof_err);

void BF_FLW(const char* bf, std::uint32_t n);
void BF_FLW1(const char* bf, std::uint32_t n);
void BF_FLW2(const char* bf, std::uint32_t n);
void S_FLW(const char* s);
void S_FLW1(const char* s);
void S_FLW2(const char* s);
template <typename... T>
void SM_FLW(const char* first, T... rest) {
    SM_FL(&flw_fd, first, rest...);
}
template <typename... T>
void SM_FLW1(const char* first, T... rest) {
    SM_FL(&flw1_fd, first, rest...);
}
template <typename... T>
void SM_FLW2(const char* first, T... rest) {
    SM_FL(&flw2_fd, first, rest...);
}
void B_FLW(char c);
void B_FLW1(char c);
void B_FLW2(char c);

// ---- Whole-file operations ----

// 1 when fnam is a regular file (links followed); with report a miss raises by its type.
char FILE_OK(const char* fnam, char report);
// Size in bytes, 0 on failure (raised through FILE_OK with report).
std::int32_t FILE_SZ(const char* fnam, char report);
// stat mode bits; a missing file raises "\"<fnam>\" not found [FILE_MODE]" and gives 0.
std::uint32_t FILE_MODE(const char* fnam);
// Sets the permission bits of fnam to those of mode.
void MODE_FILE(std::uint32_t mode, const char* fnam);

#endif
