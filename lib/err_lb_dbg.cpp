// The debug trail "dbg.log": time-stamped lines any routine can write, echoed on the console,
// emptied at the first entry of a run and rotated into numbered backups past a size cap.
#include <cstdio>
#include <cstring>

#include "err_lb.h"
#include "fl_lb.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "s_exe.h"
#include "tm_lb.h"
#include "ut_dt.h"

char dbg_ = 0;
const char* dbg_log = "dbg.log";
std::uint32_t dbg_log_mxsz = 5000000;
const char* dbg_tm_fmt = "00:00:00 ";
const char* dbg_pgm = nullptr;
char dbg_vd = 1;
char dbg_fst = 1;
char dbg_active = 0;
S_DBG_UT_CALLBACK_FN s_dbg_ut_callback = nullptr;
char s_dbg_ut_callback_def = 1;
std::uint16_t s_dbg_spacer_secs = 2;

namespace {

constexpr std::uint32_t no_tic = 4294967295u;
// Backups kept of a full trail: a ring of this many numbers, one always free.
constexpr std::uint16_t bk_ring = 10;

std::uint32_t s_dbg_tic = no_tic;  // tick of the last entry
char lstend_file = 1;              // the last entry ended its line in the file
char lstend_console = 1;           // the last echoed entry ended its console line

bool echoing() { return dbg_vd && s_dbg_ut_callback; }

bool has_file() { return dbg_log && *dbg_log; }

// The trail's own work must not trace itself: the debug level and the allocation accounting
// are off meanwhile (the trail releases everything it allocates, so counts stay true).
class Quiet {
public:
    Quiet() : dbg_saved_(dbg_), mem_saved_(mem_al_dbg) {
        dbg_ = 0;
        mem_al_dbg = 0;
    }
    ~Quiet() {
        dbg_ = dbg_saved_;
        mem_al_dbg = mem_saved_;
    }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

private:
    char dbg_saved_;
    char mem_saved_;
};

// The full trail becomes the next backup and the trail starts afresh; what this raises is
// not the caller's concern.
void rotate() {
    if (!dbg_log_mxsz || !has_file() || err_) return;
    if (static_cast<std::uint32_t>(FILE_SZ(dbg_log, 0)) <= dbg_log_mxsz) return;
    FILE_BK(dbg_log, bk_ring);
    FILE_DL(dbg_log, 0);
    if (err_) ERR_S();
}

}  // namespace

void S_DBG_UT(char new_line, char end_line, const char* text) {
    if (err_) return;
    if (dbg_active) {
        if (!daemon_op) std::printf("\a\a\aS_DBG_UT RECURSION:%s\n", text ? text : "");
        return;
    }
    dbg_active = 1;
    {
        Quiet quiet;
        if (dbg_fst) {
            if (has_file()) FILE_CLR(dbg_log, 0);
            if (s_dbg_ut_callback_def) s_dbg_ut_callback = S_DBG_UT_CALLBACK;
            dbg_fst = 0;
        }
        LbOwned line(S_CP(""));
        if (new_line) {
            if (!lstend_file) {
                if (has_file()) S_FILE(dbg_log, nullptr, 2);
                if (echoing()) s_dbg_ut_callback(0, 1, nullptr);
            }
            if (s_dbg_spacer_secs && s_dbg_tic != no_tic && EL_SECS(s_dbg_tic, tic_now) >= s_dbg_spacer_secs) {
                if (has_file()) S_FILE(dbg_log, nullptr, 2);
                if (echoing()) s_dbg_ut_callback(1, 1, nullptr);
            }
            if (dbg_tm_fmt) {
                // The program's own "time last read" is left as it was.
                const UTMDF last = utm_;
                UTMDF now = utm_;
                TM_RD(&now);
                utm_ = last;
                line.ref() = S_A(line.ref(), TM_S(&now, dbg_tm_fmt));
            }
            if (dbg_pgm) line.ref() = SM_A(line.ref(), dbg_pgm, ":", nullptr);
        }
        line.ref() = S_A(line.ref(), text);
        const char* shown = line.get() ? line.get() : "";
        if (has_file()) {
            if (end_line) S_FILE(dbg_log, shown, 2);
            else BF_FILE(dbg_log, shown, static_cast<std::uint32_t>(std::strlen(shown)), 2);
        }
        if (err_) SM_ERRA(" txt=", shown, nullptr);
        if (echoing()) s_dbg_ut_callback(new_line, end_line, shown);
        rotate();
        s_dbg_tic = TIC_C();
        lstend_file = end_line;
    }
    dbg_active = 0;
}

void SM_DBG_UT_list(char new_line, char end_line, const char* const* texts, std::size_t n) {
    if (err_) return;
    Quiet quiet;
    LbOwned line(lb_join("S_A", texts, n));
    if (err_) return;
    S_DBG_UT(new_line, end_line, line.get());
}

namespace {

// Writes one whole line; a pending error is recorded first and is still pending afterwards.
void dbg_line(const char* const* texts, std::size_t n) {
    Quiet quiet;
    const bool pushed = err_ != 0;
    if (pushed) {
        const char* msg = ERR_S();  // a look at the message; the error is raised again at once
        err_ = 1;
        LbOwned line;
        PSH_ERR();  // the stack keeps its own copy; msg stays valid until the next raise
        line.reset(SM_CP("DBGERR:", msg ? msg : "", nullptr));
        S_DBG_UT(1, 1, line.get());
    }
    SM_DBG_UT_list(1, 1, texts, n);
    if (pushed) POP_ERR();
}

}  // namespace

void S_DBG(const char* text) {
    const char* texts[] = {text ? text : ""};
    dbg_line(texts, 1);
}

void SM_DBG_list(const char* const* texts, std::size_t n) { dbg_line(texts, n); }

void B_DBG(char c) {
    static char bf[2] = {0, 0};
    bf[0] = c;
    S_DBG_UT(0, 0, bf);
}

char UT_ERR_DMP(const char* label) {
    if (!err_) return 0;
    LbOwned line;
    {
        const char* msg = ERR_S();
        line.reset(label ? SM_CP(msg, " [", label, "]", nullptr) : S_CP(msg));
    }
    S_DBG(line.get());
    if (err_) {
        const char* werr = ERR_S();
        if (!daemon_op) std::printf("%s [%s]\n", werr ? werr : "", "UT_ERR_DMP");
    }
    if (!daemon_op && !echoing()) {
        std::printf("\a");
        std::fflush(stdout);
        std::fprintf(stderr, "err=%s\n", line.get() ? line.get() : "");
    }
    return 1;
}

char S_DBG_UT_CALLBACK(char new_line, char end_line, const char* text) {
    if (err_ || daemon_op) return new_line;
    if (new_line && !lstend_console) std::fputc('\n', stdout);
    if (text) std::fputs(text, stdout);
    if (end_line) std::fputc('\n', stdout);
    std::fflush(stdout);
    lstend_console = end_line;
    return end_line;
}
