// Counted allocation, owned heap strings, the ring of temporary strings and small utilities.
#ifndef LB_MEM_LB_H
#define LB_MEM_LB_H

#include <array>

#include "err_lb.h"

// ---- Allocation and owned strings -------------------------------------------------------

// Longest text the concatenating routines build.
inline constexpr std::uint32_t lb_s_mxsz = 65534;

extern char mem_al_dbg;              // 0 off, 1 count live blocks, 2 count and trace
extern std::int32_t mem_al_cnt;      // live blocks while mem_al_dbg is on
extern const char* mem_alloc_fail;   // first words of every allocation failure

char* MEM_AL(std::uint32_t size);
void MEM_FR(char** holder);
// Releases a block held through a pointer of another type (a list of texts, a record).
template <typename T>
void MEM_FR(T** holder) {
    if (!holder || !*holder) return;
    char* block = reinterpret_cast<char*>(*holder);
    MEM_FR(&block);
    *holder = nullptr;
}
char* MEM_REAL(char* block, std::uint32_t size);
void MEM_ERR(std::uint32_t size);
void MEM_AL_DBG_DMP(const char* label);

char* S_CP(const char* text);
char* S_RP(char* old, const char* text);

char* SM_CP_list(const char* const* texts, std::size_t n);
template <typename... T>
char* SM_CP(const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "SM_CP takes texts only");
    const char* texts[] = {first, rest...};
    return SM_CP_list(texts, sizeof...(T) + 1);
}
char* SM_RP_list(char* dst, const char* const* texts, std::size_t n);
template <typename... T>
char* SM_RP(char* dst, const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "SM_RP takes texts only");
    const char* texts[] = {first, rest...};
    return SM_RP_list(dst, texts, sizeof...(T) + 1);
}
char* S_A(char* dst, const char* text);
char* B_A(char* dst, char c);
char* SM_A_list(char* dst, const char* const* texts, std::size_t n);
template <typename... T>
char* SM_A(char* dst, const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "SM_A takes texts only");
    const char* texts[] = {first, rest...};
    return SM_A_list(dst, texts, sizeof...(T) + 1);
}
char* S_X(const char* text, std::uint32_t from, std::uint32_t to);
char* BF_CP(const char* buffer, std::uint32_t size);
char* PAD_RP(char* text, std::uint16_t width);

// ---- Temporary strings --------------------------------------------------------------------

// Number of temporary strings alive at once: each stays valid for this many allocations.
inline constexpr std::uint16_t ut_slot_cnt = 2048;

char* UT_AL(std::uint32_t size);
void UT_FREE();
char* UT_S_CP(const char* text);
char* UT_SM_CP_list(const char* const* texts, std::size_t n);
template <typename... T>
char* UT_SM_CP(const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "UT_SM_CP takes texts only");
    const char* texts[] = {first, rest...};
    return UT_SM_CP_list(texts, sizeof...(T) + 1);
}
char* UT_S_X(const char* text, std::uint32_t from, std::uint32_t to);
char* UT_SM_A_list(char* dst, const char* const* texts, std::size_t n);
template <typename... T>
char* UT_SM_A(char* dst, const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "UT_SM_A takes texts only");
    const char* texts[] = {first, rest...};
    return UT_SM_A_list(dst, texts, sizeof...(T) + 1);
}

// ---- Small utilities ----------------------------------------------------------------------

// Case tables indexed by the unsigned character code; codes 128 to 255 map to themselves.
extern const std::array<unsigned char, 256> ch_upper;
extern const std::array<unsigned char, 256> ch_lower;

char ENV_VAR_TF(const char* name, char dflt);
char* RCDF_AL();
void REMOVE_CH(char* text, char c);
char* S_LOWER(char* text);
char* S_UPPER(char* text);
char* LOWER_S(const char* text);
char* UPPER_S(const char* text);
char PC_MODEL();
char CONSOLE_PGM();

#endif
