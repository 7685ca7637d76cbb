// Process-wide error state (flag, message, push/pop stack) and the debug trail.
#ifndef LB_ERR_LB_H
#define LB_ERR_LB_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

// Routines that take a list of texts ended by a null pointer are templates over one
// implementation taking an array: every argument is checked to be a text at compile time.
template <typename... T>
inline constexpr bool lb_all_texts = (std::is_convertible_v<T, const char*> && ...);

// At most this many texts of a list are used; the rest are ignored.
inline constexpr std::size_t lb_list_mxc = 49;

// ---- Error state ----------------------------------------------------------------------

extern char err_;            // 1 while an error is pending
extern std::int32_t os_err;  // last operating-system error number reported by OS_ERR

void S_ERR(const char* text);
void SM_ERR_list(const char* const* texts, std::size_t n);
template <typename... T>
void SM_ERR(const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "SM_ERR takes texts only");
    const char* texts[] = {first, rest...};
    SM_ERR_list(texts, sizeof...(T) + 1);
}
void S_ERRA(const char* text);
void SM_ERRA_list(const char* const* texts, std::size_t n);
template <typename... T>
void SM_ERRA(const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "SM_ERRA takes texts only");
    const char* texts[] = {first, rest...};
    SM_ERRA_list(texts, sizeof...(T) + 1);
}
char RTN_ERR(const char* rtn);
const char* ERR_S();
std::int32_t OS_ERR(const char* name, const char* detail, std::int32_t code);
void PSH_ERR();
void POP_ERR();
char ST_OK(const char* text);

// ---- Debug trail ------------------------------------------------------------------------

using S_DBG_UT_CALLBACK_FN = char (*)(char new_line, char end_line, const char* text);

extern char dbg_;                    // debug level 0..4
extern const char* dbg_log;          // trail file name
extern std::uint32_t dbg_log_mxsz;   // size cap in bytes, 0 for none
extern const char* dbg_tm_fmt;       // time sample of the line stamp, null for none
extern const char* dbg_pgm;          // program name written after the stamp
extern char dbg_vd;                  // echo entries through s_dbg_ut_callback
extern char dbg_fst;                 // the first entry of a run empties the trail
extern char dbg_active;              // set while an entry is written
extern S_DBG_UT_CALLBACK_FN s_dbg_ut_callback;
extern char s_dbg_ut_callback_def;
extern std::uint16_t s_dbg_spacer_secs;

void S_DBG_UT(char new_line, char end_line, const char* text);
void SM_DBG_UT_list(char new_line, char end_line, const char* const* texts, std::size_t n);
template <typename... T>
void SM_DBG_UT(char new_line, char end_line, const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "SM_DBG_UT takes texts only");
    const char* texts[] = {first, rest...};
    SM_DBG_UT_list(new_line, end_line, texts, sizeof...(T) + 1);
}
void S_DBG(const char* text);
void SM_DBG_list(const char* const* texts, std::size_t n);
template <typename... T>
void SM_DBG(const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "SM_DBG takes texts only");
    const char* texts[] = {first, rest...};
    SM_DBG_list(texts, sizeof...(T) + 1);
}
void B_DBG(char c);
char UT_ERR_DMP(const char* label);
char S_DBG_UT_CALLBACK(char new_line, char end_line, const char* text);

#endif
