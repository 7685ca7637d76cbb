// Decimal text to numbers (S10_U4, S10_U8 and their predicates). The first byte is the
// mode ('0' strict, '1' up to punctuation, '2' up to any non-digit; other bytes are other
// modes), the rest the text.
//
// What must hold: a number read is the one written in the text (its digits, leading zeros
// dropped, are what V_S10 / V8_S10 write for it) and reads back from that form; a failure
// returns 0 and gives a position within the text; the predicates agree with strict reading
// and leave no error behind; the 32-bit and 64-bit forms agree where both can hold the value;
// no routine reads past the text's terminator.
#include <limits>
#include <string>
#include <string_view>

#include "fuzz_support.h"

namespace {

constexpr std::uint16_t no_pos = 65535;

struct Read {
    bool ok = false;
    std::uint64_t value = 0;
    std::uint16_t pos = 0;
    std::string error;
};

template <typename F>
Read read(F convert) {
    Read r;
    r.pos = 12345;
    r.value = convert(&r.pos);
    r.ok = !err_;
    r.error = fuzz::take_error();
    return r;
}

bool blank(char c) { return c == ' ' || c == '\t'; }
bool digit(char c) { return c >= '0' && c <= '9'; }
bool alnum(char c) { return c_v[static_cast<unsigned char>(c)] != 255; }

// The number a successful reading must have found, as the digits written in the text with
// leading zeros dropped, and whether the text may end as it does in this mode.
struct Written {
    std::string digits;
    bool negative = false;
    bool tail_ok = false;
};

Written written(std::string_view t, unsigned mode) {
    Written w;
    std::size_t i = 0;
    while (i < t.size() && blank(t[i])) ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
        w.negative = t[i] == '-';
        ++i;
        while (i < t.size() && blank(t[i])) ++i;
    }
    const std::size_t first = i;
    while (i < t.size() && digit(t[i])) ++i;
    if (i == first) return w;
    std::size_t lead = first;
    while (lead + 1 < i && t[lead] == '0') ++lead;
    w.digits = std::string(t.substr(lead, i - lead));
    std::string_view tail = t.substr(i);
    if (mode >= 2 || tail.empty()) {
        w.tail_ok = true;
    } else if (mode == 1) {
        w.tail_ok = !alnum(tail[0]);
    } else {
        while (!tail.empty() && blank(tail[0])) tail.remove_prefix(1);
        w.tail_ok = tail.empty();
    }
    return w;
}

void check_read(const char* rtn, const Read& r, const char* text, unsigned mode, std::uint64_t max,
                const char* (*print)(std::uint64_t)) {
    const std::string_view t(text);
    if (!r.ok) {
        if (r.value != 0)
            fuzz::fail("%s failed (%s) but returned %llu", rtn, r.error.c_str(),
                       static_cast<unsigned long long>(r.value));
        if (r.error.empty()) fuzz::fail("%s failed without a message", rtn);
        if (r.pos == no_pos || (t.size() < no_pos && r.pos > t.size()))
            fuzz::fail("%s failed (%s) with position %u in a text of %zu", rtn, r.error.c_str(), r.pos,
                       t.size());
        return;
    }
    if (r.pos != no_pos)
        fuzz::fail("%s read %llu but set position %u", rtn, static_cast<unsigned long long>(r.value), r.pos);
    if (r.value > max)
        fuzz::fail("%s read %llu, above its range", rtn, static_cast<unsigned long long>(r.value));
    const Written w = written(t, mode);
    if (w.digits.empty() || !w.tail_ok)
        fuzz::fail("%s read %llu from a text that holds no number for mode %u", rtn,
                   static_cast<unsigned long long>(r.value), mode);
    if (w.negative && r.value != 0)
        fuzz::fail("%s read %llu from a negative number", rtn, static_cast<unsigned long long>(r.value));
    const char* shown = print(r.value);
    if (!shown || w.digits != shown)
        fuzz::fail("%s read %s as %s", rtn, w.digits.c_str(), shown ? shown : "(null)");
}

const char* print4(std::uint64_t v) { return V_S10(static_cast<std::int32_t>(v), nullptr, 0); }
const char* print8(std::uint64_t v) { return V8_S10(v, nullptr, 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::clear_error();
    if (size == 0) return 0;
    const char mode = static_cast<char>(data[0] - '0');
    const unsigned umode = static_cast<unsigned char>(mode);
    const fuzz::Bytes text(data + 1, size - 1, true);
    const char* t = text.get();

    const Read u4 = read([&](std::uint16_t* pos) { return std::uint64_t{S10_U4(t, pos, mode)}; });
    check_read("S10_U4", u4, t, umode, std::numeric_limits<std::int32_t>::max(), print4);
    const Read u8 = read([&](std::uint16_t* pos) { return S10_U8(t, pos, mode); });
    check_read("S10_U8", u8, t, umode, std::numeric_limits<std::int64_t>::max(), print8);

    // Both read the same syntax; only the range differs.
    const bool u8_in_u4 = u8.ok && u8.value <= std::numeric_limits<std::int32_t>::max();
    if (u4.ok != u8_in_u4 || (u4.ok && u4.value != u8.value))
        fuzz::fail("S10_U4 (%s) and S10_U8 (%s) disagree", u4.ok ? "read" : u4.error.c_str(),
                   u8.ok ? "read" : u8.error.c_str());
    // The position is where the syntax broke, whatever the width.
    if (!u4.ok && !u8.ok && u4.error.find("overflow") == std::string::npos && u4.pos != u8.pos)
        fuzz::fail("S10_U4 at %u, S10_U8 at %u", u4.pos, u8.pos);

    // What the number routines write reads back as the same number.
    if (u8.ok) {
        const Read back = read([&](std::uint16_t* pos) { return S10_U8(print8(u8.value), pos, 0); });
        if (!back.ok || back.value != u8.value)
            fuzz::fail("V8_S10 of %llu does not read back", static_cast<unsigned long long>(u8.value));
    }
    if (u4.ok) {
        const Read back =
            read([&](std::uint16_t* pos) { return std::uint64_t{S10_U4(print4(u4.value), pos, 0)}; });
        if (!back.ok || back.value != u4.value)
            fuzz::fail("V_S10 of %llu does not read back", static_cast<unsigned long long>(u4.value));
    }

    // The predicates answer as strict reading does and clear what they raised.
    if (mode == 0) {
        if (S10_U4_OK(t) != (u4.ok ? 1 : 0)) fuzz::fail("S10_U4_OK disagrees with S10_U4");
        if (S10_U8_OK(t) != (u8.ok ? 1 : 0)) fuzz::fail("S10_U8_OK disagrees with S10_U8");
    } else {
        S10_U4_OK(t);
        S10_U8_OK(t);
    }
    if (err_) fuzz::fail("a predicate left an error pending: %s", fuzz::take_error().c_str());
    return 0;
}
