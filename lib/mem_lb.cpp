// Counted allocation and owned heap strings, replaced in place by their holders.
#include "mem_lb.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cnv_lb.h"
#include "lb_own.h"
#include "os_vsn.h"
#include "s_sz.h"

char mem_al_dbg = 0;
std::int32_t mem_al_cnt = 0;
const char* mem_alloc_fail = "Mem alloc failure";

// S_CP and UT_S_CP keep a length in 16 bits: longer texts are cut to this many characters.
static constexpr std::size_t s_cp_mxsz = 65535;

namespace {

// Writes the accounting line of an allocation or release, with the accounting and the
// trail's console echo off so that the trail's own allocations are neither counted nor traced.
void trace_block(const char* what, std::uintptr_t address) {
    char hex[2 * sizeof(void*) + 1];
    std::snprintf(hex, sizeof hex, "%" PRIxPTR, address);
    char vd = dbg_vd;
    mem_al_dbg = 0;
    dbg_vd = 0;
    SM_DBG(what, hex, " cnt=", V_S10(mem_al_cnt, nullptr, 0), nullptr);
    dbg_vd = vd;
    mem_al_dbg = 2;
}

}  // namespace

void MEM_ERR(std::uint32_t size) {
    // A failure while composing this very message must not recurse.
    static bool active = false;
    if (active) {
        err_ = 1;
        return;
    }
    active = true;
    char req[16];
    char free_mem[16];
    std::snprintf(req, sizeof req, "%" PRIu32, size);
    std::uint32_t avail = AVAIL_MEM();
    std::snprintf(free_mem, sizeof free_mem, "%" PRIu32, avail);
    SM_ERR(mem_alloc_fail, " (req=", req, " free=", free_mem, ")", nullptr);
    active = false;
}

char* MEM_AL(std::uint32_t size) {
    static std::uint16_t cc = 0;
    if (err_) return nullptr;
    ++cc;
    char* block = size ? static_cast<char*>(std::malloc(size)) : nullptr;
    if (!block) {
        --cc;
        MEM_ERR(size);
        return nullptr;
    }
    if (mem_al_dbg) {
        ++mem_al_cnt;
        if (mem_al_dbg == 2 && cc == 1) trace_block("MEM_AL:pt=", reinterpret_cast<std::uintptr_t>(block));
    }
    --cc;
    return block;
}

void MEM_FR(char** holder) {
    static std::uint16_t cc = 0;
    if (!holder || !*holder) return;
    ++cc;
    if (mem_al_dbg) {
        --mem_al_cnt;
        if (mem_al_dbg == 2 && cc == 1) trace_block("MEM_FR:pt=", reinterpret_cast<std::uintptr_t>(*holder));
    }
    std::free(*holder);
    *holder = nullptr;
    --cc;
}

char* MEM_REAL(char* block, std::uint32_t size) {
    if (err_) return block;
    if (!block) return size ? MEM_AL(size) : nullptr;
    if (size == 0) {
        MEM_FR(&block);
        return nullptr;
    }
    char* moved = static_cast<char*>(std::realloc(block, size));
    if (!moved) {
        MEM_ERR(size);
        return block;
    }
    return moved;
}

void MEM_AL_DBG_DMP(const char* label) {
    SM_DBG(label ? label : "", ":MEM:cnt=", V_S10(mem_al_cnt, nullptr, 0), nullptr);
}

namespace {

std::size_t cp_len(const char* text) { return std::min(std::strlen(text), s_cp_mxsz); }

// Joins dst (may be null) and up to 49 listed texts into a new block: an owned one, or a
// temporary one from the ring. Raises "String overflow" past the limit, then adds rtn.
char* concat(const char* rtn, const char* dst, const char* const* texts, std::size_t n, bool temporary) {
    std::size_t count = std::min(n, lb_list_mxc);
    std::size_t total = dst ? std::strlen(dst) : 0;
    std::size_t used = 0;
    while (used < count && texts[used]) total += std::strlen(texts[used++]);
    char* block = nullptr;
    if (total > lb_s_mxsz) {
        S_ERR("String overflow");
    } else {
        auto size = static_cast<std::uint32_t>(total);
        block = temporary ? UT_AL(size) : MEM_AL(size + 1);
    }
    if (RTN_ERR(rtn)) return nullptr;
    char* at = block;
    if (dst) at = static_cast<char*>(std::memcpy(at, dst, std::strlen(dst))) + std::strlen(dst);
    for (std::size_t i = 0; i < used; ++i) {
        std::size_t len = std::strlen(texts[i]);
        std::memcpy(at, texts[i], len);
        at += len;
    }
    *at = '\0';
    return block;
}

// The characters of text from index from up to (not including) to; null without raising
// when there is nothing to cut.
bool cut_range(const char* text, std::uint32_t from, std::uint32_t& to) {
    if (err_ || !text) return false;
    std::size_t len = std::strlen(text);
    if (from > len) return false;
    if (to == UINT32_MAX || to > len) to = static_cast<std::uint32_t>(len);
    return to >= from;
}

char* copy_range(char* block, const char* text, std::uint32_t from, std::uint32_t to) {
    std::memcpy(block, text + from, to - from);
    block[to - from] = '\0';
    return block;
}

// dst followed by the listed texts; dst is released only when the new string was made.
char* append_list(const char* rtn, char* dst, const char* const* texts, std::size_t n) {
    if (err_) return nullptr;
    if (n == 0 || !texts[0]) return dst;
    char* joined = concat(rtn, dst, texts, n, false);
    if (!joined) return nullptr;
    MEM_FR(&dst);
    return joined;
}

}  // namespace

char* S_CP(const char* text) {
    static const char rtn[] = "S_CP";
    if (err_ || !text) return nullptr;
    std::size_t len = cp_len(text);
    char* copy = MEM_AL(static_cast<std::uint32_t>(len + 1));
    if (RTN_ERR(rtn)) return nullptr;
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

char* S_RP(char* old, const char* text) {
    static const char rtn[] = "S_RP";
    if (err_) return old;
    char* copy = S_CP(text);
    if (RTN_ERR(rtn)) return old;
    MEM_FR(&old);
    return copy;
}

char* SM_CP_list(const char* const* texts, std::size_t n) {
    if (err_ || n == 0 || !texts[0]) return nullptr;
    return concat("SM_CP", nullptr, texts, n, false);
}

char* SM_RP_list(char* dst, const char* const* texts, std::size_t n) {
    if (err_) return dst;
    if (n == 0 || !texts[0]) {
        MEM_FR(&dst);
        return nullptr;
    }
    char* joined = concat("SM_RP", nullptr, texts, n, false);
    if (!joined) return nullptr;
    MEM_FR(&dst);
    return joined;
}

char* lb_join(const char* rtn, const char* const* texts, std::size_t n) {
    return concat(rtn, nullptr, texts, n, false);
}

char* S_A(char* dst, const char* text) {
    static const char rtn[] = "S_A";
    if (err_ || !text || !*text) return dst;
    if (!dst) {
        char* copy = S_CP(text);
        RTN_ERR(rtn);
        return copy;
    }
    const char* texts[] = {text};
    char* joined = concat(rtn, dst, texts, 1, false);
    MEM_FR(&dst);
    return joined;
}

char* B_A(char* dst, char c) {
    static const char rtn[] = "B_A";
    if (c == 0) return dst;
    const char text[] = {c, '\0'};
    char* joined = S_A(dst, text);
    RTN_ERR(rtn);
    return joined;
}

char* SM_A_list(char* dst, const char* const* texts, std::size_t n) { return append_list("SM_A", dst, texts, n); }

char* S_X(const char* text, std::uint32_t from, std::uint32_t to) {
    static const char rtn[] = "S_X";
    if (!cut_range(text, from, to)) return nullptr;
    char* part = MEM_AL(to - from + 1);
    if (RTN_ERR(rtn)) return nullptr;
    return copy_range(part, text, from, to);
}

char* BF_CP(const char* buffer, std::uint32_t size) {
    static const char rtn[] = "BF_CP";
    if (err_ || !buffer) return nullptr;
    char* copy = MEM_AL(size);
    if (RTN_ERR(rtn)) return nullptr;
    std::memcpy(copy, buffer, size);
    return copy;
}

char* PAD_RP(char* text, std::uint16_t width) {
    static const char rtn[] = "PAD_RP";
    if (err_ || !text) return text;
    // The difference is a signed 16-bit count: only 1 to 32,767 missing characters pad.
    auto missing = static_cast<std::int16_t>(width - S_SZ(text));
    if (missing <= 0) return text;
    LbOwned spaces(MEM_AL(static_cast<std::uint32_t>(missing) + 1));
    if (RTN_ERR(rtn)) return text;
    std::memset(spaces.get(), ' ', static_cast<std::size_t>(missing));
    spaces.get()[missing] = '\0';
    char* padded = SM_RP(spaces.get(), text, spaces.get(), nullptr);
    if (padded) spaces.release();  // SM_RP released the spaces block itself
    MEM_FR(&text);
    RTN_ERR(rtn);
    return padded;
}

// ---- Temporary forms ----------------------------------------------------------------------

char* UT_S_X(const char* text, std::uint32_t from, std::uint32_t to) {
    if (!cut_range(text, from, to)) return nullptr;
    char* part = UT_AL(to - from);
    return part ? copy_range(part, text, from, to) : nullptr;
}

char* UT_SM_CP_list(const char* const* texts, std::size_t n) {
    if (err_ || n == 0 || !texts[0]) return nullptr;
    return concat("UT_SM_CP", nullptr, texts, n, true);
}

// The result is owned, as SM_A's; only the name in the trail differs.
char* UT_SM_A_list(char* dst, const char* const* texts, std::size_t n) { return append_list("UT_SM_A", dst, texts, n); }
