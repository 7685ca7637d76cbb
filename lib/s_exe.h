// Shell commands run with their error output turned into the library's error, and process
// queries built on them.
#ifndef LB_S_EXE_H
#define LB_S_EXE_H

#include "err_lb.h"

extern char s_exe_tst;             // test mode: commands are printed, not run
extern char s_exe_log;             // trace every command even with the debug level at 0
extern char s_exe_hide;            // set for the duration of S_EXE_HIDE
extern char daemon_op;             // set: the library prints nothing on the console
// Error file through which a child program of this library hands its error to this process:
// "s_exe.err" in the process's own work directory, where error output is captured too
// (<$TMPDIR or /var/tmp>/s_exe.XXXXXX, mode 0700, made on first use, removed at exit). Empty
// until then. The commands run find its name in their environment, under s_exe_err_env.
extern const char* s_exe_err_fl;
inline constexpr char s_exe_err_env[] = "S_EXE_ERR_FL";

// Runs a shell command line. Whatever it writes to its error output (captured unless the
// command redirects it itself or runs in the background) becomes the error
// "S_EXE:<its words on one line> (cmd=<command as run>)". display prints the command first.
void S_EXE(char display, const char* command);
void SM_EXE_list(char display, const char* const* texts, std::size_t n);
template <typename... T>
void SM_EXE(char display, const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "SM_EXE takes texts only");
    const char* texts[] = {first, rest...};
    SM_EXE_list(display, texts, sizeof...(T) + 1);
}
void S_EXE_HIDE(const char* command);
void SM_EXE_HIDE_list(const char* const* texts, std::size_t n);
template <typename... T>
void SM_EXE_HIDE(const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "SM_EXE_HIDE takes texts only");
    const char* texts[] = {first, rest...};
    SM_EXE_HIDE_list(texts, sizeof...(T) + 1);
}
// Child side: tells the console (unless daemon_op) and appends text to the error file named
// in S_EXE_ERR_FL; started without one, to this process's own s_exe_err_fl.
void S_EXE_ERR(const char* text);

// Temporary copy of text safe inside double quotes on a shell command line: \ " $ ` are
// escaped with a backslash. Null for a null text or while an error is pending.
char* UT_SH_DQ(const char* text);

// Process id of a running program (through pidof), 65535 when none ("pidof failure").
std::uint16_t PROC_PID(const char* pgm);
// Processes whose "ps x a" line holds pgm as a whole word (terminal windows not counted).
std::uint16_t PROC_CNT(const char* pgm);

#endif
