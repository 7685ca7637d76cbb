// Display forms of bytes, "\x" escapes and hexadecimal dumps.
#include "s_ech.h"

#include <array>
#include <cstring>

#include "cnv_lb.h"
#include "ech_own.h"
#include "fl_lb.h"
#include "mem_lb.h"
#include "s_mt.h"
#include "s_s.h"
#include "s_sz.h"

namespace {

// Control codes by their names.
constexpr const char* ascii_names[32] = {
    "<NUL>", "<SOH>", "<STX>", "<ETX>", "<EOT>", "<ENQ>", "<ACK>", "<BELL>",
    "<BS>", "<TAB>", "<LF>", "<VT>", "<FF>", "<CR>", "<SO>", "<SI>",
    "<DLE>", "<DC1>", "<DC2>", "<DC3>", "<DC4>", "<NAK>", "<SYN>", "<ETB>",
    "<CAN>", "<EM>", "<SUB>", "<ESC>", "<FS>", "<GS>", "<RS>", "<US>",
};

// A tab in a message at its widest.
constexpr char tab_spaces[] = "        ";

constexpr const char* asc_entry(int c) {
    if (c < 32) return ascii_names[c];
    return c == 255 ? ech_unknown : ech_self.text[c];
}

// Messages name NUL and the codes from BELL to CR, and space a tab out; the other control
// bytes pass as they are.
constexpr const char* ch_entry(int c) {
    if (c == '\t') return tab_spaces;
    if (c < 32 && c != 0 && (c < '\a' || c > '\r')) return ech_self.text[c];
    return asc_entry(c);
}

}  // namespace

constinit const char* const ch_ech[256] = {LB_ECH_256(ch_entry)};
constinit const char* const asc_ech[256] = {LB_ECH_256(asc_entry)};

namespace {

// Display forms and dumps stay below 65,535 characters (16-bit output positions).
constexpr std::size_t ech_mxsz = 65534;
constexpr unsigned tab_w = 8;

// The fixed "?" of "error pending"; rewritten on every use so a careless caller cannot
// leave it changed for the next one.
char* unknown() {
    static char q[2];
    q[0] = '?';
    q[1] = 0;
    return q;
}

unsigned char uc(char c) { return static_cast<unsigned char>(c); }

using EntryLens = std::array<unsigned char, 256>;
EntryLens entry_lens(const char* const table[256]) {
    EntryLens lens{};
    for (int c = 0; c < 256; ++c) lens[c] = static_cast<unsigned char>(std::strlen(table[c]));
    return lens;
}

// Display form of text through table; with tabs, a tab becomes spaces up to the next stop
// of the output column. The form is cut at a whole entry before it would reach the limit.
char* echo(const char* rtn, const char* text, const char* const table[256], const EntryLens& lens,
           bool tabs) {
    if (err_) return unknown();
    if (!text) text = "";
    std::size_t out = 0;
    const char* end = text;
    for (; *end; ++end) {
        std::size_t add = tabs && *end == '\t' ? tab_w - out % tab_w : lens[uc(*end)];
        if (out + add > ech_mxsz) break;
        out += add;
    }
    char* res = UT_AL(static_cast<std::uint32_t>(out));
    if (RTN_ERR(rtn) || !res) return unknown();
    char* o = res;
    for (const char* p = text; p < end; ++p) {
        if (tabs && *p == '\t') {
            std::size_t n = tab_w - static_cast<std::size_t>(o - res) % tab_w;
            std::memset(o, ' ', n);
            o += n;
        } else {
            std::memcpy(o, table[uc(*p)], lens[uc(*p)]);
            o += lens[uc(*p)];
        }
    }
    *o = 0;
    return res;
}

}  // namespace

char* S_ECH(const char* text) {
    static const EntryLens lens = entry_lens(ch_ech);
    return echo("S_ECH", text, ch_ech, lens, true);
}

char* ASC_ECH(const char* text) {
    static const EntryLens lens = entry_lens(asc_ech);
    return echo("ASC_ECH", text, asc_ech, lens, false);
}

char* HEX_ECH(const char* buffer, std::uint16_t count, char spaced) {
    static const char rtn[] = "HEX_ECH";
    if (err_) return unknown();
    if (!buffer) count = 0;
    std::uint32_t size = count ? count * (spaced ? 3u : 2u) - (spaced ? 1u : 0u) : 0;
    char* res = UT_AL(size);
    if (RTN_ERR(rtn) || !res) return unknown();
    char* o = res;
    for (std::uint16_t i = 0; i < count; ++i) {
        if (spaced && i) *o++ = ' ';
        *o++ = v_c[uc(buffer[i]) >> 4];
        *o++ = v_c[uc(buffer[i]) & 15];
    }
    *o = 0;
    return res;
}

char* ASC_HEX(const char* hex, char high_end) {
    static const char rtn[] = "ASC_HEX";
    if (err_) return unknown();
    if (!hex) hex = "";
    const std::size_t len = std::strlen(hex);
    char* res = UT_AL(static_cast<std::uint32_t>((len + 1) / 2));
    if (RTN_ERR(rtn) || !res) return unknown();
    std::size_t o = 0;
    for (std::size_t i = 0; i < len; i += 2) {
        // Two digits at a time, the last group one digit when the length is odd; "4 " and
        // " 4" both read as 4.
        const char group[3] = {hex[i], i + 1 < len ? hex[i + 1] : '\0', '\0'};
        unsigned v = S16_U1(group, nullptr, 1, 0);
        if (err_) break;
        // With high_end, the byte with its top bit set is the last one.
        bool last = high_end && v >= 128;
        if (last) v -= 128;
        if (v) res[o++] = static_cast<char>(v);  // a zero byte adds nothing
        if (last) break;
    }
    if (RTN_ERR(rtn)) return unknown();
    res[o] = 0;
    return res;
}

const char* BACKSLASH_X_BF(const char* text, std::uint16_t* length) {
    static const char rtn[] = "BACKSLASH_X_BF";
    if (err_ || !text) {
        if (length) *length = S_SZ(text);
        return text;
    }
    const std::size_t len = std::strlen(text);
    char* res = UT_AL(static_cast<std::uint32_t>(len));
    if (RTN_ERR(rtn) || !res) {
        if (length) *length = S_SZ(text);
        return text;
    }
    std::size_t r = 0;
    std::size_t w = 0;
    bool first = true;
    while (r < len) {
        // Copy up to the next backslash as one block.
        const void* bs = std::memchr(text + r, '\\', len - r);
        const std::size_t next = bs ? static_cast<std::size_t>(static_cast<const char*>(bs) - text) : len;
        std::memcpy(res + w, text + r, next - r);
        w += next - r;
        r = next;
        if (r >= len) break;
        if (BF_MT(text + r, "\\x", 2, 0, 1, 0)) {
            // An escape cut short by the end of the text ends the walk; the rest stays.
            if (r + 3 >= len) {
                std::memcpy(res + w, text + r, len - r);
                w += len - r;
                break;
            }
            const unsigned hi = c_v[uc(text[r + 2])];
            const unsigned lo = c_v[uc(text[r + 3])];
            if (hi < 16 && lo < 16) {
                // Each escape shifts the rest of the text within a record buffer, so the
                // rest after the first one must fit a record; later rests are shorter.
                if (first && len - r - 4 > fl_rc_mxs) {
                    S_S(text + r + 4, res + w + 1, 0);
                    RTN_ERR(rtn);
                    if (length) *length = S_SZ(text);
                    return text;
                }
                first = false;
                res[w++] = static_cast<char>(hi << 4 | lo);
                r += 4;
                continue;
            }
        }
        res[w++] = text[r++];
    }
    res[w] = 0;
    if (length) *length = static_cast<std::uint16_t>(w);
    return res;
}

const char* BF_BACKSLASH_X(const char* buffer, std::uint16_t count) {
    static const char rtn[] = "BF_BACKSLASH_X";
    if (err_) return buffer;
    std::size_t n = !buffer ? 0 : count == 65535 ? strnlen(buffer, 65535) : count;
    char* res = UT_AL(static_cast<std::uint32_t>(n * 4));
    if (RTN_ERR(rtn) || !res) return buffer;
    char* o = res;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = uc(buffer[i]);
        if (c >= 32 && c <= 126) {
            *o++ = static_cast<char>(c);
        } else {
            *o++ = '\\';
            *o++ = 'x';
            *o++ = v_c[c >> 4];
            *o++ = v_c[c & 15];
        }
    }
    *o = 0;
    return res;
}
