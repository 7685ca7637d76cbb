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
//
// Each call is complete: records are opened and closed inside. The tests of a name and the
// size, mode and time queries take a null name for "". Sizes are 32-bit: FILE_SZ gives only
// the low 32 bits of a file of 2 GiB or more (so a negative or too small value), FILE_SZ8 the
// whole size; FILE_BF refuses such files.

// 1 when fnam is a regular file (links followed); with report a miss raises by its type.
char FILE_OK(const char* fnam, char report);
// 1 when anything exists under fnam (links followed).
char ANY_FILE_OK(const char* fnam, char report);
// 1 when fnam is a directory (links followed).
char DIR_OK(const char* fnam, char report);
// 1 when fnam itself is a symbolic link.
char LINK_OK(const char* fnam, char report);
// Size in bytes of anything stat can see, 0 on failure (raised through FILE_OK with report).
std::int32_t FILE_SZ(const char* fnam, char report);
// The same, the whole size in 64 bits.
std::uint64_t FILE_SZ8(const char* fnam, char report);
// stat mode bits; a missing file raises "\"<fnam>\" not found [FILE_MODE]" and gives 0.
std::uint32_t FILE_MODE(const char* fnam);
// Sets the permission bits of fnam to those of mode.
void MODE_FILE(std::uint32_t mode, const char* fnam);
// Modification time in local time (of the link itself when link is set); runs even while an
// error is pending.
void FILE_UTM(const char* fnam, UTMDF* utm, char link);
// 1 when fnam1 was modified (whole seconds) strictly later than fnam2; both must exist.
char FILE_NEWER(const char* fnam1, const char* fnam2);
// Removes a file or an empty directory, even while an error is pending; 1 when deleted.
// A missing name is an error only with report.
char FILE_DL(const char* fnam, char report);
// Empties fnam; a missing (or non-regular) name is created only when create is set.
void FILE_CLR(const char* fnam, char create);
// Writes n bytes (4294967295: the text length of bf) in one call, appending for wtc 2,
// else creating or truncating; no cache, no line ends, no execute bits.
void BF_FILE(const char* fnam, const char* bf, std::uint32_t n, char wtc);
// Writes n bytes of bf to the open descriptor fd of the file fnam, all of them (short
// writes are resumed); a failure raises the write error of BF_FILE naming fnam.
void BF_FD(int fd, const char* fnam, const char* bf, std::uint32_t n);
// One line (null s: an empty one) ended as FILE_CRLF decides; wtc as for BF_FILE.
void S_FILE(const char* fnam, const char* s, char wtc);
// Appends the texts as one line ended as FILE_CRLF decides.
void SM_FILE_list(const char* fnam, const char* const* texts, std::size_t n);
template <typename... T>
void SM_FILE(const char* fnam, const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "SM_FILE takes texts only");
    const char* texts[] = {first, rest...};
    SM_FILE_list(fnam, texts, sizeof...(T) + 1);
}
// The whole file in one owned buffer with a NUL after the data; its size into *n (if given).
char* FILE_BF(const char* fnam, std::uint32_t* n);
// Longest line (characters, line ends excluded) and the line count into *lines (if given).
// Reads through the slot flr_fd, so it fails while that slot is open.
std::uint16_t FILE_STATS(const char* fnam, std::uint32_t* lines);
// Blocks available to unprivileged users / all blocks of the file system holding "/", low
// 10 bits cleared; the drive letter is not used.
std::uint32_t AVAIL_DRV(char drive);
std::uint32_t TOTAL_DRV(char drive);
// Makes a new empty file named dir + "/" + prefix + six random characters + ".tmp",
// exclusively (nothing planted under that name is ever opened), and gives its name as an
// owned string; null with the error raised when it cannot be made.
char* FILE_UNIQUE(const char* dir, const char* prefix);

// ---- Text-file editing, search and sorting ----
//
// Lines are read with any line end. A pattern matches a whole line with letters compared
// without regard to case; wc (not 0) stands for any run of characters. The edits copy the
// file line by line to a work file of their own in the current directory (lines end with
// the work file's convention) and move it over the file at the end, so two edits must not
// run at once in one directory.

// Byte offset of the first matching line, -1 when none (or the file is missing).
std::int32_t FILE_LN_P(const char* fnam, const char* pattern, char wc);
// Temporary copy of the first matching line, or null.
char* FILE_S(const char* fnam, const char* pattern, char wc);
// Index (from 0) of the first matching line, 4294967295 when none.
std::uint32_t FILE_LN(const char* fnam, const char* pattern, char wc);
// Temporary copy of line n (from 0), or null; with report a file that is missing or too
// short raises ("Line <n> not found").
char* FILE_LN_S(const char* fnam, std::uint32_t n, char report);
// Number of LF bytes: a last line without one is not counted. 0 on failure, which is
// raised only with report.
std::int32_t FILE_LN_CNT(const char* fnam, char report);
// 1 when both are regular files with equal contents, or their names are equal without
// regard to case.
char FILE_CMP(const char* fnam0, const char* fnam1, char report);
// Replaces old_s by new_s in each line, whole words (WD) or any text (TXT), with all and
// group as UT_C_WD / UT_C_TXT take them; once mx lines (0: no limit) have changed, the
// rest are copied as they are. The file is rewritten even when nothing changed. Returns
// the number of lines changed.
std::uint16_t FILE_WD_RPL(const char* fnam, const char* old_s, const char* new_s, char all,
                          char group, std::uint16_t mx);
std::uint16_t FILE_TXT_RPL(const char* fnam, const char* old_s, const char* new_s, char all,
                           char group, std::uint16_t mx);
// Removes the first line (every line with all) that holds s (cs 0: without regard to case)
// or that matches pattern. The file is rewritten only when a line went. Lines removed.
std::int32_t FILE_S_REMOVE(const char* fnam, const char* s, char all, char cs);
std::int32_t FILE_LN_REMOVE(const char* fnam, const char* pattern, char all, char wc);
// Removes lines equal (without regard to case) to the line kept before them; only adjacent
// repeats go. Lines removed.
std::int32_t FILE_REDUND(const char* fnam);
// Sorts the lines in memory: order 0 ascending, 1 descending, by S_ORD with cs; col (not 0)
// compares from that column when both lines are longer than it; tabs expands tabs first.
void FILE_SORT(const char* fnam, std::uint16_t col, char tabs, char cs, char order);

// ---- XML tag extraction ----
//
// XML_TAG flattens the n bytes of bf (no terminator needed) into fnam, one line
// "path<TAB>text" per element with text of its own before its first child, in document
// order. The path joins the tag names with ":", attributes dropped; the text has its line
// breaks turned into spaces, the five common entities decoded and blanks trimmed. End tags,
// comments, CDATA, processing instructions, declarations and "<rss version" tags are
// skipped. Callers pass tag null; the routine's own recursive calls pass the enclosing
// path. Nesting deeper than 50 elements fails. Uses the work file "xml_tag_wrk.tmp" in the
// current directory, so it is not reentrant. Returns the number of lines (at most 65535),
// 0 on failure; after a failure fnam still gets the lines found before it.
std::uint16_t XML_TAG(const char* bf, std::uint32_t n, const char* tag, const char* fnam);

// ---- Moving, copying and backups ----
//
// fnam0 is the source and fnam1 the target (FILE_AP appends fnam1 to fnam0). What is not a
// regular file, or a target that exists as something else, goes through the shell's
// "mv -f -T" / "cp -p -f -d", whose error output becomes the error.

extern const char* bk_dir;   // "./bk": backups, relative to the current directory
extern const char* bk_dir1;  // "./bk/"

// The target ends with the source's contents, times and mode, and the source is gone:
// renamed when both are on one file system, else copied into a new file beside the target
// that replaces it only once complete. A target that is a directory (or leads to one) is
// refused. On failure the source stays where it was and the target is as it was.
void FILE_MV(const char* fnam0, const char* fnam1);
// Renames a regular file; an existing regular target raises "\"<fnam1>\" already exists".
void FILE_REN(const char* fnam0, const char* fnam1);
// Copies contents, times and mode (times and mode not for a target ending in ":").
void FILE_CP(const char* fnam0, const char* fnam1);
// FILE_CP; when it fails, creates the target's directories once and tries again.
void FILE_CPD(const char* fnam0, const char* fnam1);
// Appends the contents of fnam1 to fnam0.
void FILE_AP(const char* fnam0, const char* fnam1);
// Copies fnam to the next free name of a ring of n, "./bk/<name>.<i>", and deletes the
// name after it so that a free number marks the next place: at most n - 1 backups are
// kept. Temporary name of the backup, or null.
char* FILE_BK(const char* fnam, std::uint16_t n);
// Deletes the backups "./bk/<name>.0", ".1"... up to the first missing number.
void FILE_BK_DL(const char* fnam);

// ---- Directory listing ----
//
// DIR_FILE lists the entries a file-spec names, one line per entry in the list
// file, laid out by an option string:
//   F  scan directory (ending in "/") and name     f  name
//   l  " -> " and the target, for symbolic links   m  "l"/"-" and nine rwx permission marks
//   d  date "MM/DD/YYYY"                           t  time "HH:MMA" (12-hour clock)
//   s  "       <DIR>" or the size "% 12ld"         T  seconds since 1970, "%10ld"
//   o  owner name in exactly 32 columns (id "% 32ld" without a name)   g  group, the same
//   anything else is copied as it is. A null option string means "d t s F".
// fspec: null, "", "./" the current directory; ".." or "../" its parent; a directory named
// without "*"; else a path whose last part is a pattern ("*" any run, letters in either
// case). Entries come in directory order; "." and ".." never, nor names holding a line end.
// Symbolic links are listed, never followed. Not reentrant: a listing finishes before the
// next begins.

inline constexpr char dir_dlm = '/';
inline constexpr char dir_dlms[] = "/";

extern std::uint32_t dir_file_age_secs;     // 0: any age; else only entries this recent
extern char dir_file_remove_extra_spaces;   // 1: squeeze blank columns of the list file

// hidden 1 lists names beginning with "."; recurse 1 descends into subdirectories (not into
// those hidden from the listing, and at most 256 levels down); dirs 0 leaves directories
// out, 1 lists all, 2 only directories; listfile null only counts; wtc 1 creates the list
// file, 2 appends; nf_err 1 raises "\"<pattern>\" not found" when nothing matched. The list
// file never lists itself and is squeezed (FILE_REMOVE_EXTRA_SPACES) while
// dir_file_remove_extra_spaces is set. Returns the number listed.
std::uint32_t DIR_FILE(const char* fspec, char hidden, char recurse, const char* options,
                       char dirs, const char* listfile, char wtc, char nf_err);
// Counts what DIR_FILE(fspec, 0, recurse, "f", 0, null, 1, nf_err) would list.
std::uint32_t FILE_CNT(const char* fspec, char recurse, char nf_err);
// Reduces every run of columns that are blank in all (non-empty) lines of fnam to one blank
// column and strips trailing blanks; columns from 512 on are kept as they are.
void FILE_REMOVE_EXTRA_SPACES(const char* fnam);

// ---- Paths and directories ----
//
// Path texts split at the last "/" or "."; results marked temporary come from the ring of
// temporary strings. Only CUR_DIR, CHG_DIR and FIND_FILE ask the operating system.

extern const char* pth_env;  // "PATH" as last fetched by PTH_OP, not owned; null if unset
extern std::uint16_t pth_x;  // search-path cursor: 65535 not started, 65534 ended

// Temporary: the part after the last "/" (all of fspec when it has none).
char* FSPEC_FNAM(const char* fspec);
// Temporary: the part before the last "/", that "/" included when dlm is set; null without
// a "/". "/x" gives "/" for either dlm.
char* FSPEC_DIR(const char* fspec, char dlm);
// Temporary: the part after the last "." anywhere in fnam; null without a ".".
char* FILE_EXT(const char* fnam);
// Temporary: the part before the last "."; fnam itself when it is empty or has no ".".
const char* FILE_LESS_EXT(const char* fnam);
// Temporary: fnam cut at its first "." with ext (dot included) appended; "?" while an error
// is pending.
const char* EXT_FL(const char* fnam, const char* ext);
// The current directory without a trailing "/": into bf (fl_rc_mxs bytes, terminator
// included) and returned, or as a temporary text when bf is null. "." when it cannot be read.
char* CUR_DIR(char* bf);
// Runs even while an error is pending; "Failure changing to directory <path>".
void CHG_DIR(const char* path);
// There are no drive letters: always raises "CHG_DRV" (unless an error is pending).
void CHG_DRV(char drive);
// "X:rest" raises through CHG_DRV and then changes to rest, if any; other paths go to CHG_DIR.
void CHG_DRV_DIR(const char* path);

// The search-path scan: PTH_OP starts it, each PTH_S gives the next candidate for fnam
// (current directory first, then each "PATH" directory; a name with "/" or ":" only as
// given), PTH_CL ends it. A candidate stays valid until the next PTH_S.
const char* PTH_OP();
const char* PTH_S(const char* fnam);
void PTH_CL();
// Temporary: the first candidate that is a regular file, or null; with report a miss raises
// "\"<fnam>\" not found in path".
char* FIND_FILE(const char* fnam, char report);

#endif
