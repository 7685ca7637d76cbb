// The debug trail "dbg.log": time-stamped lines any routine can write, echoed on the console.
#include <unistd.h>

#include <cstdio>

#include "err_lb.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "s_exe.h"

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

char lstend_file = 1;     // the last entry ended its line in the file
char lstend_console = 1;  // the last echoed entry ended its console line

bool echoing() { return dbg_vd && s_dbg_ut_callback; }

void append_to_trail(const char* text, bool end_line) {
    std::FILE* f = std::fopen(dbg_log, "ab");
    if (!f) {
        OS_ERR("S_DBG_UT", ":fopen", 0);
        return;
    }
    if (text && *text) std::fputs(text, f);
    if (end_line) std::fputc('\n', f);
    std::fclose(f);
}

}  // namespace

void S_DBG_UT(char new_line, char end_line, const char* text) {
    if (err_) return;
    if (dbg_active) {
        if (!daemon_op) std::printf("\a\a\aS_DBG_UT RECURSION:%s\n", text ? text : "");
        return;
    }
    dbg_active = 1;
    char dbg_saved = dbg_;
    dbg_ = 0;
    if (dbg_fst) {
        if (access(dbg_log, F_OK) == 0) truncate(dbg_log, 0);
        if (s_dbg_ut_callback_def) s_dbg_ut_callback = S_DBG_UT_CALLBACK;
        dbg_fst = 0;
    }
    LbOwned line;
    if (new_line && !lstend_file) {
        append_to_trail(nullptr, true);
        if (echoing()) s_dbg_ut_callback(0, 1, nullptr);
    }
    if (new_line && dbg_pgm) line.ref() = SM_A(line.ref(), dbg_pgm, ":", nullptr);
    line.ref() = S_A(line.ref(), text);
    if (!err_) append_to_trail(line.get(), end_line);
    if (err_) SM_ERRA(" txt=", line.get(), nullptr);
    if (echoing()) s_dbg_ut_callback(new_line, end_line, line.get() ? line.get() : "");
    lstend_file = end_line;
    dbg_active = 0;
    dbg_ = dbg_saved;
}

void SM_DBG_UT_list(char new_line, char end_line, const char* const* texts, std::size_t n) {
    if (err_) return;
    LbOwned line(S_CP(""));
    for (std::size_t i = 0; i < n && i < lb_list_mxc && texts[i]; ++i) line.ref() = S_A(line.ref(), texts[i]);
    if (err_) return;
    S_DBG_UT(new_line, end_line, line.get());
}

namespace {

// Writes one whole line; a pending error is recorded first and is still pending afterwards.
void dbg_line(const char* const* texts, std::size_t n) {
    bool pushed = err_ != 0;
    if (pushed) {
        const char* msg = ERR_S();  // a look at the message; the error is raised again at once
        err_ = 1;
        PSH_ERR();  // the stack slot takes over that very text, so msg stays valid
        LbOwned line(SM_CP("DBGERR:", msg, nullptr));
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
    LbOwned line(nullptr);
    {
        const char* msg = ERR_S();
        line.reset(label ? SM_CP(msg, " [", label, "]", nullptr) : S_CP(msg));
    }
    S_DBG(line.get());
    if (err_) {
        const char* werr = ERR_S();
        if (!daemon_op) std::printf("%s [%s]\n", werr, "UT_ERR_DMP");
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
