// Text search (plain, wild and group characters, whole words, character classes) and
// replacement of text in strings.
#include "fnd_lb.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "mem_lb.h"

// Class bits per character code (see the ch_dm_ constants); bit 0x01 changes at run time.
unsigned char ch_dm[256] = {
    0x00, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x06, 0x06,  // 00
    0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06,  // 10
    0x04, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06,  // 20
    0xF6, 0xF6, 0xE6, 0xE6, 0xE6, 0xE6, 0xE6, 0xE6, 0xA6, 0xA6, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06,  // 30
    0x06, 0x8E, 0x8E, 0x8E, 0x8E, 0x8E, 0x8E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E,  // 40
    0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x06, 0x06, 0x06, 0x06, 0x06,  // 50
    0x06, 0x8E, 0x8E, 0x8E, 0x8E, 0x8E, 0x8E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E,  // 60
    0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x06, 0x06, 0x06, 0x06, 0x06,  // 70
    0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06,  // 80
    0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06,  // 90
    0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06,  // A0
    0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06,  // B0
    0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06,  // C0
    0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06,  // D0
    0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06,  // E0
    0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x00,  // F0
};

namespace {

constexpr std::size_t npos = static_cast<std::size_t>(-1);

// Last position a range may end at: 16-bit positions keep 65535 for "not found".
constexpr std::size_t u2_end_mx = 65534;
constexpr std::size_t u4_end_mx = 4294967294u;

// A word for FND_WD: decimal digit, letter or marked character.
constexpr unsigned char word_class = ch_dm_wd | ch_dm_alpha | ch_dm_dec;

// Rough cost of one bit-parallel step per mask word, in character comparisons: the direct
// scan is used while its worst case stays within this many times the bit scan's cost.
constexpr std::size_t bit_step_cost = 4;

// Whether the latest marked FND_WD needle has a group character first, inside, last.
char lwld = 0;
char mwld = 0;
char twld = 0;

inline bool same_ch(unsigned char a, unsigned char b, bool cs) {
    return cs ? a == b : ch_upper[a] == ch_upper[b];
}

// End of a range [0, end) cut at the terminator, never beyond mx; reads no further than that.
inline std::size_t cut_end(const char* text, std::size_t end, std::size_t mx) {
    return strnlen(text, std::min(end, mx));
}

bool has_case(const unsigned char* nd, std::size_t m) {
    for (std::size_t j = 0; j < m; ++j)
        if (ch_upper[nd[j]] != nd[j] || ch_lower[nd[j]] != nd[j]) return true;
    return false;
}

std::size_t scan_direct(const unsigned char* nd, std::size_t m, const unsigned char* hay,
                        std::size_t start, std::size_t end, bool cs, unsigned char wild) {
    for (std::size_t p = start; p + m <= end; ++p) {
        std::size_t j = 0;
        while (j < m && ((wild && nd[j] == wild) || same_ch(nd[j], hay[p + j], cs))) ++j;
        if (j == m) return p;
    }
    return npos;
}

// Bit-parallel scan: bit j of the state is set while the needle's first j + 1 characters
// match the text just read, so every text character costs one step per 64 needle characters
// however the needle repeats itself. All matches have the needle's length, so the first to
// end is also the leftmost.
std::size_t scan_bits(const unsigned char* nd, std::size_t m, const unsigned char* hay,
                      std::size_t start, std::size_t end, bool cs, unsigned char wild) {
    const std::size_t words = (m + 63) / 64;
    // Layout: 256 rows of masks, then the wild mask, then the state.
    const std::size_t cells = (256 + 2) * words;
    std::uint64_t local[256 + 2];
    std::unique_ptr<std::uint64_t[]> heap;
    std::uint64_t* tb = local;
    if (words > 1) {
        heap.reset(new (std::nothrow) std::uint64_t[cells]);
        if (!heap) return scan_direct(nd, m, hay, start, end, cs, wild);
        tb = heap.get();
    }
    std::fill(tb, tb + cells, std::uint64_t{0});
    std::uint64_t* any = tb + 256 * words;
    std::uint64_t* state = any + words;
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint64_t bit = std::uint64_t{1} << (j % 64);
        const std::size_t w = j / 64;
        const unsigned char c = nd[j];
        if (wild && c == wild) {
            any[w] |= bit;
            continue;
        }
        tb[c * words + w] |= bit;
        if (!cs) {
            tb[ch_upper[c] * words + w] |= bit;
            tb[ch_lower[c] * words + w] |= bit;
        }
    }
    const std::uint64_t top = std::uint64_t{1} << ((m - 1) % 64);
    if (words == 1) {
        std::uint64_t d = 0;
        for (std::size_t i = start; i < end; ++i) {
            d = ((d << 1) | 1) & (tb[hay[i]] | any[0]);
            if (d & top) return i + 1 - m;
        }
        return npos;
    }
    for (std::size_t i = start; i < end; ++i) {
        const std::uint64_t* row = tb + hay[i] * words;
        std::uint64_t carry = 1;
        for (std::size_t w = 0; w < words; ++w) {
            const std::uint64_t next = (state[w] << 1) | carry;
            carry = state[w] >> 63;
            state[w] = next & (row[w] | any[w]);
        }
        if (state[words - 1] & top) return i + 1 - m;
    }
    return npos;
}

// Leftmost p in [start, end - m] where the needle matches; match end is p + m.
std::size_t find_plain(const char* needle, std::size_t m, const char* haystack, std::size_t start,
                       std::size_t end, bool cs, char wild_ch) {
    if (m == 0 || start >= end || m > end - start) return npos;
    const auto* nd = reinterpret_cast<const unsigned char*>(needle);
    const auto* hay = reinterpret_cast<const unsigned char*>(haystack);
    const auto wild = static_cast<unsigned char>(wild_ch);
    const bool wilds = wild && std::memchr(nd, wild, m);
    if (!wilds && (cs || !has_case(nd, m))) {
        const void* hit = memmem(hay + start, end - start, nd, m);
        return hit ? static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - hay) : npos;
    }
    // Few start positions or a short text: the direct scan, bounded by starts * m, is cheap;
    // otherwise the bit scan bounds the work by the text length whatever the needle holds.
    const std::size_t starts = end - start - m + 1;
    const std::size_t bit_cost = bit_step_cost * (256 + end - start) * ((m + 63) / 64);
    if (starts <= bit_cost / m) return scan_direct(nd, m, hay, start, end, cs, wild);
    return scan_bits(nd, m, hay, start, end, cs, wild);
}

// Leftmost-first segment search. Each segment between group characters is taken at its
// first occurrence after the previous one, so nothing is ever tried twice.
std::size_t find_text(const char* nd, std::size_t m, const char* hay, std::size_t start,
                      std::size_t end, char group, bool cs, char wild, std::size_t* match_end) {
    if (m == 0 || start >= end) return npos;
    const bool grouped = group && std::memchr(nd, group, m) &&
                         std::find_if(nd, nd + m, [group](char c) { return c != group; }) != nd + m;
    if (!grouped) {
        const std::size_t p = find_plain(nd, m, hay, start, end, cs, wild);
        if (p != npos) *match_end = p + m;
        return p;
    }
    std::size_t first = npos;
    std::size_t pos = start;
    std::size_t j = 0;
    while (j < m) {
        while (j < m && nd[j] == group) ++j;
        if (j == m) break;
        std::size_t k = j;
        while (k < m && nd[k] != group) ++k;
        const std::size_t p = find_plain(nd + j, k - j, hay, pos, end, cs, wild);
        if (p == npos) return npos;
        if (first == npos) first = p;
        pos = p + (k - j);
        j = k;
    }
    *match_end = nd[m - 1] == group ? end : pos;
    return nd[0] == group ? start : first;
}

// First position in [start, end) whose class shares a bit with mask, and the end of its run.
std::size_t find_class(unsigned char mask, const char* text, std::size_t start, std::size_t end,
                       std::size_t* run_end) {
    const auto* t = reinterpret_cast<const unsigned char*>(text);
    std::size_t p = start;
    while (p < end && !(ch_dm[t[p]] & mask)) ++p;
    if (p >= end) return npos;
    std::size_t e = p + 1;
    while (e < end && (ch_dm[t[e]] & mask)) ++e;
    *run_end = e;
    return p;
}

void mark_word(const char* nd, std::size_t m, char group) {
    for (unsigned char& c : ch_dm) c &= static_cast<unsigned char>(~ch_dm_wd);
    for (std::size_t j = 0; j < m; ++j)
        if (nd[j] != group) ch_dm[static_cast<unsigned char>(nd[j])] |= ch_dm_wd;
    ch_dm[static_cast<unsigned char>('_')] |= ch_dm_wd;
    lwld = group && m && nd[0] == group;
    twld = group && m && nd[m - 1] == group;
    mwld = group && m > 2 && std::memchr(nd + 1, group, m - 2);
}

std::size_t find_word(const char* nd, std::size_t m, const char* hay, std::size_t start,
                      std::size_t end, char group, bool cs, std::size_t* match_end) {
    std::size_t pos = start;
    for (;;) {
        std::size_t we = 0;
        const std::size_t s = find_class(word_class, hay, pos, end, &we);
        if (s == npos) return npos;
        pos = we;
        std::size_t e = 0;
        const std::size_t p = find_text(nd, m, hay, s, we, group, cs, 0, &e);
        if (p == npos || (p != s && !lwld)) continue;
        bool whole = e == we || twld;
        if (!whole && (lwld || mwld)) {
            // Later matches inside the word may still reach its end ("a*b" in "abab").
            std::size_t from = e;
            while (find_text(nd, m, hay, from, we, group, cs, 0, &e) != npos) {
                if (e == we) {
                    whole = true;
                    break;
                }
                from = e;
            }
        }
        if (whole) {
            *match_end = we;
            return s;
        }
    }
}

std::uint16_t to_u2(std::size_t v) {
    return v == npos ? 65535 : static_cast<std::uint16_t>(v);
}

std::uint32_t to_u4(std::size_t v) {
    return v == npos ? 4294967295u : static_cast<std::uint32_t>(v);
}

template <typename Pos>
std::size_t find_range(const char* needle, Pos ns, Pos ne, const char* haystack, Pos start,
                       Pos end, char group, char cs, char wild, std::size_t mx,
                       std::size_t* match_end) {
    if (err_ || !needle || !haystack) return npos;
    const std::size_t nend = cut_end(needle, ne, mx);
    const std::size_t hend = cut_end(haystack, end, mx);
    if (ns >= nend || start >= hend) return npos;
    return find_text(needle + ns, nend - ns, haystack, start, hend, group, cs != 0, wild,
                     match_end);
}

// One replacement run of C_TXT or C_WD over an owned text: a text search, or words.
struct Finder {
    const char* find;
    std::size_t m;
    char group;
    bool words;
    bool marked;
    bool all_hits;

    std::size_t next(const char* text, std::size_t from, std::size_t end, std::size_t* e) {
        if (!words) return find_text(find, m, text, from, end, group, false, 0, e);
        // Word characters are marked once per run, on the first search.
        if (!marked) mark_word(find, m, group);
        marked = true;
        return find_word(find, m, text, from, end, group, false, e);
    }
};

// Hits replaced by one concatenation: the prefix plus a replacement and a rest per hit.
constexpr std::size_t rpl_batch_mx = (lb_list_mxc - 1) / 2;

// Replaces in the owned text, searching on after each inserted replacement. Returns the
// text itself when nothing was found, else a new block (the text is released). On failure
// the text is released and the result is null.
//
// Hits are replaced up to rpl_batch_mx per concatenation instead of one at a time, which
// keeps long texts with many hits from being copied once per hit. The search after a
// replacement starts past the replacement, so it sees exactly the rest of the text as it
// was; and the running length is checked hit by hit.
char* replace_run(char* text, Finder f, const char* repl) {
    struct Hit {
        std::size_t p, e;
    };
    Hit hits[rpl_batch_mx];
    const char* pieces[1 + 2 * rpl_batch_mx];
    const std::size_t lr = std::strlen(repl);
    std::size_t len = std::strlen(text);
    std::size_t end = std::min(len, u2_end_mx);
    std::size_t pos = 0;
    for (;;) {
        std::size_t n = 0;
        std::size_t grown = len;
        bool spent = false;
        while (n < rpl_batch_mx) {
            std::size_t e = 0;
            const std::size_t p = f.next(text, pos, end, &e);
            if (p == npos) {
                spent = true;
                break;
            }
            const std::size_t after = grown - (e - p) + lr;
            hits[n++] = Hit{p, e};
            grown = after;
            pos = e;
            // Once something is replaced the rest of the text is searched to its end.
            end = len;
            // A batch ending at a hit has that hit's running length, so one that is too
            // long fails where replacing hit by hit would fail.
            if (!f.all_hits || after > lb_s_mxsz) break;
        }
        if (n == 0) return text;
        std::size_t k = 0;
        pieces[k++] = text;
        for (std::size_t i = 0; i < n; ++i) {
            text[hits[i].p] = 0;
            pieces[k++] = repl;
            pieces[k++] = text + hits[i].e;
        }
        const std::size_t rest = len - hits[n - 1].e;
        char* out = SM_RP_list(text, pieces, k);
        if (err_) {
            MEM_FR(&text);
            return nullptr;
        }
        text = out;
        len = grown;
        end = len;
        pos = grown - rest;
        if (!f.all_hits || spent) return text;
    }
}

}  // namespace

std::uint16_t FND_TXT(const char* needle, std::uint16_t needle_start, std::uint16_t needle_end,
                      const char* haystack, std::uint16_t start, std::uint16_t end, char group,
                      char cs, char wild, std::uint16_t* match_end) {
    std::size_t e = 0;
    const std::size_t p = find_range(needle, needle_start, needle_end, haystack, start, end,
                                     group, cs, wild, u2_end_mx, &e);
    if (p != npos && match_end) *match_end = static_cast<std::uint16_t>(e);
    return to_u2(p);
}

std::uint16_t FND_TXT(const char* needle, const char* haystack, std::uint16_t start,
                      std::uint16_t end, char group, char cs, char wild, std::uint16_t* match_end) {
    return FND_TXT(needle, 0, 65535, haystack, start, end, group, cs, wild, match_end);
}

std::uint32_t FND_TXT4(const char* needle, std::uint32_t needle_start, std::uint32_t needle_end,
                       const char* haystack, std::uint32_t start, std::uint32_t end, char group,
                       char cs, char wild, std::uint32_t* match_end) {
    std::size_t e = 0;
    const std::size_t p = find_range(needle, needle_start, needle_end, haystack, start, end,
                                     group, cs, wild, u4_end_mx, &e);
    if (p != npos && match_end) *match_end = static_cast<std::uint32_t>(e);
    return to_u4(p);
}

std::uint32_t FND_TXT4(const char* needle, const char* haystack, std::uint32_t start,
                       std::uint32_t end, char group, char cs, char wild, std::uint32_t* match_end) {
    return FND_TXT4(needle, 0, 4294967295u, haystack, start, end, group, cs, wild, match_end);
}

std::uint16_t FND_B(char c, const char* text, std::uint16_t start, std::uint16_t end, char cs) {
    if (err_ || !text) return 65535;
    const std::size_t e = cut_end(text, end, u2_end_mx);
    if (start >= e) return 65535;
    const auto uc = static_cast<unsigned char>(c);
    const char* from = text + start;
    const std::size_t n = e - start;
    const void* hit = std::memchr(from, uc, n);
    if (!cs) {
        // The other case of a letter, looked for only before the first hit.
        const unsigned char other = ch_upper[uc] != uc ? ch_upper[uc] : ch_lower[uc];
        if (other != uc) {
            const std::size_t lim = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - from) : n;
            if (const void* h2 = std::memchr(from, other, lim)) hit = h2;
        }
    }
    return hit ? static_cast<std::uint16_t>(static_cast<const char*>(hit) - text) : 65535;
}

std::uint16_t FND_CHDM(unsigned char mask, const char* text, std::uint16_t start,
                       std::uint16_t end, std::uint16_t* run_end) {
    if (err_ || !text) return 65535;
    const std::size_t e = cut_end(text, end, u2_end_mx);
    std::size_t re = 0;
    const std::size_t p = find_class(mask, text, start, e, &re);
    if (p != npos && run_end) *run_end = static_cast<std::uint16_t>(re);
    return to_u2(p);
}

std::uint16_t FND_WD(const char* needle, std::uint16_t needle_start, std::uint16_t needle_end,
                     const char* haystack, std::uint16_t start, std::uint16_t end, char group,
                     char cs, char mark, std::uint16_t* match_end) {
    if (err_ || !needle || !haystack) return 65535;
    const std::size_t nend = cut_end(needle, needle_end, u2_end_mx);
    const std::size_t hend = cut_end(haystack, end, u2_end_mx);
    const std::size_t m = needle_start < nend ? nend - needle_start : 0;
    if (mark) mark_word(needle + needle_start, m, group);
    if (m == 0 || start >= hend) return 65535;
    std::size_t e = 0;
    const std::size_t p = find_word(needle + needle_start, m, haystack, start, hend, group,
                                    cs != 0, &e);
    if (p != npos && match_end) *match_end = static_cast<std::uint16_t>(e);
    return to_u2(p);
}

std::uint16_t FND_WD(const char* needle, const char* haystack, std::uint16_t start,
                     std::uint16_t end, char group, char cs, char mark, std::uint16_t* match_end) {
    return FND_WD(needle, 0, 65535, haystack, start, end, group, cs, mark, match_end);
}

namespace {

char* replace_text(char* text, const char* find, const char* replacement, char all, char group,
                   bool words, const char* rtn) {
    if (err_) return text;
    if (!text) {
        if (find) return nullptr;
        char* copy = S_CP(replacement);
        RTN_ERR(rtn);
        return copy;
    }
    if (!replacement) replacement = "";
    if (!find || !*find) {
        if (!*replacement) return text;
        char* out = SM_RP(text, replacement, text);
        if (RTN_ERR(rtn)) {
            MEM_FR(&text);
            return nullptr;
        }
        return out;
    }
    if (!*text) return text;
    Finder f{find, cut_end(find, 65535, u2_end_mx), group, words, false, all != 0};
    char* out = replace_run(text, f, replacement);
    RTN_ERR(rtn);
    return out;
}

}  // namespace

char* C_TXT(char* text, const char* find, const char* replacement, char all, char group) {
    static const char rtn[] = "C_TXT";
    return replace_text(text, find, replacement, all, group, false, rtn);
}

char* C_WD(char* text, const char* find, const char* replacement, char all, char group) {
    static const char rtn[] = "C_WD";
    return replace_text(text, find, replacement, all, group, true, rtn);
}

namespace {

// The owned routine on a private copy, handing back a temporary copy of the outcome.
char* replace_temp(const char* text, const char* find, const char* replacement, char all,
                   char group, bool words, const char* rtn) {
    if (err_) return const_cast<char*>(text);
    char* own = S_CP(text);
    if (RTN_ERR(rtn)) return nullptr;
    own = words ? C_WD(own, find, replacement, all, group)
                : C_TXT(own, find, replacement, all, group);
    char* out = UT_S_CP(own);
    MEM_FR(&own);
    if (RTN_ERR(rtn)) return nullptr;
    return out;
}

}  // namespace

char* UT_C_TXT(const char* text, const char* find, const char* replacement, char all, char group) {
    static const char rtn[] = "UT_C_TXT";
    return replace_temp(text, find, replacement, all, group, false, rtn);
}

char* UT_C_WD(const char* text, const char* find, const char* replacement, char all, char group) {
    static const char rtn[] = "UT_C_WD";
    return replace_temp(text, find, replacement, all, group, true, rtn);
}

void RPL_CH(char old, char new_c, char* text, char all) {
    if (err_ || !text || old == new_c || !old) return;
    char* p = std::strchr(text, old);
    while (p) {
        *p = new_c;
        // A terminator written in ends the text there.
        if (!all || !new_c) return;
        p = std::strchr(p + 1, old);
    }
}
