// The ring of temporary strings, the case tables and small utilities beside them.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "fl_lb.h"
#include "mem_lb.h"

namespace {

char** ut_pt = nullptr;  // the slot table, made at the first temporary allocation
std::uint16_t ut_x = 0;  // slot of the latest temporary allocation

// Pool blocks are never counted nor traced by the allocation accounting.
class AccountingOff {
public:
    AccountingOff() : saved_(mem_al_dbg) { mem_al_dbg = 0; }
    ~AccountingOff() { mem_al_dbg = saved_; }
    AccountingOff(const AccountingOff&) = delete;
    AccountingOff& operator=(const AccountingOff&) = delete;

private:
    char saved_;
};

constexpr std::array<unsigned char, 256> case_table(bool upper) {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c) {
        t[c] = static_cast<unsigned char>(c);
        if (upper && c >= 'a' && c <= 'z') t[c] = static_cast<unsigned char>(c - 'a' + 'A');
        if (!upper && c >= 'A' && c <= 'Z') t[c] = static_cast<unsigned char>(c - 'A' + 'a');
    }
    return t;
}
char* map_case(char* text, const std::array<unsigned char, 256>& table) {
    if (!text) return text;
    for (char* p = text; *p; ++p) *p = static_cast<char>(table[static_cast<unsigned char>(*p)]);
    return text;
}

}  // namespace

const std::array<unsigned char, 256> ch_upper = case_table(true);
const std::array<unsigned char, 256> ch_lower = case_table(false);

char* UT_AL(std::uint32_t size) {
    if (err_) return nullptr;
    AccountingOff off;
    if (!ut_pt) {
        ut_pt = reinterpret_cast<char**>(MEM_AL(ut_slot_cnt * sizeof(char*)));
        if (!ut_pt) return nullptr;
        std::fill_n(ut_pt, ut_slot_cnt, nullptr);
        ut_x = ut_slot_cnt - 1;  // the first allocation takes slot 0
    }
    ut_x = static_cast<std::uint16_t>((ut_x + 1) % ut_slot_cnt);
    MEM_FR(&ut_pt[ut_x]);
    ut_pt[ut_x] = MEM_AL(size + 1);
    return ut_pt[ut_x];
}

void UT_FREE() {
    if (!ut_pt) return;
    AccountingOff off;
    for (std::uint16_t i = 0; i < ut_slot_cnt; ++i) MEM_FR(&ut_pt[i]);
    MEM_FR(&ut_pt);
    ut_x = 0;
}

char* UT_S_CP(const char* text) {
    if (err_ || !text) return nullptr;
    std::size_t len = std::min<std::size_t>(std::strlen(text), 65535);
    char* copy = UT_AL(static_cast<std::uint32_t>(len));
    if (!copy) return nullptr;
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

char ENV_VAR_TF(const char* name, char dflt) {
    const char* value = name ? std::getenv(name) : nullptr;
    if (!value) return dflt;
    return std::strchr("0FfNn", value[0]) && value[0] ? 0 : 1;
}

char* RCDF_AL() {
    static const char rtn[] = "RCDF_AL";
    char* record = MEM_AL(fl_rc_mxs + 1u);
    RTN_ERR(rtn);
    return record;
}

void REMOVE_CH(char* text, char c) {
    if (err_ || !text || c == 0) return;
    char* out = text;
    for (const char* in = text; *in; ++in)
        if (*in != c) *out++ = *in;
    *out = '\0';
}

char* S_LOWER(char* text) { return map_case(text, ch_lower); }
char* S_UPPER(char* text) { return map_case(text, ch_upper); }
char* LOWER_S(const char* text) { return map_case(UT_S_CP(text), ch_lower); }
char* UPPER_S(const char* text) { return map_case(UT_S_CP(text), ch_upper); }

char PC_MODEL() { return 0; }
char CONSOLE_PGM() { return 1; }
