// Text to number with strict diagnostics, and numbers to temporary text.
#include "cnv_lb.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>

#include "fnd_lb.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "s_ech.h"

const unsigned char c_v[256] = {
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
      0,   1,   2,   3,   4,   5,   6,   7,   8,   9, 255, 255, 255, 255, 255, 255,
    255,  10,  11,  12,  13,  14,  15,  16,  17,  18,  19,  20,  21,  22,  23,  24,
     25,  26,  27,  28,  29,  30,  31,  32,  33,  34,  35, 255, 255, 255, 255, 255,
    255,  10,  11,  12,  13,  14,  15,  16,  17,  18,  19,  20,  21,  22,  23,  24,
     25,  26,  27,  28,  29,  30,  31,  32,  33,  34,  35, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
};

const char v_c[37] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

namespace {

constexpr std::uint16_t no_pos = 65535;
constexpr const char* blanks = " \t";

unsigned char uc(char c) { return static_cast<unsigned char>(c); }
bool is_alnum(char c) { return c_v[uc(c)] != 255; }

void set_pos(std::uint16_t* pos, std::uint16_t value) {
    if (pos) *pos = value;
}
// Positions are 16-bit: an index in a longer text wraps, which is all a caller can be given.
void set_pos(std::uint16_t* pos, const char* text, const char* at) {
    set_pos(pos, static_cast<std::uint16_t>(at - text));
}

std::uint32_t no_digits(std::uint16_t* pos) {
    set_pos(pos, 0);
    S_ERR("No digits found");
    return 0;
}

// "Unexp dec digit", "Unexp trailing char", "Unexp float char" ...: the offending character
// shown through ch_ech, then the whole text.
void unexp(const char* what, char c, const char* text, std::uint16_t* pos, const char* at) {
    set_pos(pos, text, at);
    SM_ERR("Unexp ", what, " \"", ch_ech[uc(c)], "\" in \"", text, "\"", nullptr);
}

void overflow(const char* what, const char* text, std::uint16_t* pos, const char* at) {
    set_pos(pos, text, at);
    SM_ERR(what, text, ")", nullptr);
}

// What may follow the digits at p, by mode; false with the error raised when it may not.
bool tail_ok(const char* text, const char* p, std::uint16_t* pos, char mode, const char* digit) {
    const unsigned m = uc(mode);
    if (!*p) return true;
    if (is_alnum(*p)) {
        if (m >= 2) return true;
        unexp(digit, *p, text, pos, p);
        return false;
    }
    if (m >= 1) return true;
    p += std::strspn(p, blanks);
    if (!*p) return true;
    unexp("trailing char", *p, text, pos, p);
    return false;
}

struct Radix {
    unsigned base;
    unsigned shift;        // bits per digit
    const char* digit;     // "hex digit"
    const char* overflow;  // "Hex overflow ("
};
constexpr Radix hex{16, 4, "hex digit", "Hex overflow ("};
constexpr Radix oct{8, 3, "oct digit", "Oct overflow ("};
constexpr Radix bin{2, 1, "bin digit", "Bin overflow ("};

std::uint32_t radix_u4(const char* rtn, const Radix& r, const char* text, std::uint16_t* pos,
                       char mode, char lead) {
    if (!text) SM_ERR(rtn, ":Null str", nullptr);
    if (err_) return 0;
    set_pos(pos, no_pos);
    const char* p = text + std::strspn(text, blanks);
    if (!*p) return no_digits(pos);
    if (lead) {
        if (ch_upper[uc(*p)] != uc(lead)) {
            set_pos(pos, text, p);
            SM_ERR("No leading \"", ch_ech[uc(lead)], "\" in \"", text, "\"", nullptr);
            return 0;
        }
        ++p;
    }
    if (c_v[uc(*p)] >= r.base) {
        unexp(r.digit, *p, text, pos, p);
        return 0;
    }
    while (*p == '0') ++p;
    std::uint32_t v = 0;
    for (; c_v[uc(*p)] < r.base; ++p) {
        // A digit that would push bits out of 32: the 9th hexadecimal, 33rd binary, or an
        // 11th octal one above 37777777777.
        if (v >> (32 - r.shift)) {
            overflow(r.overflow, text, pos, p);
            return 0;
        }
        v = v << r.shift | c_v[uc(*p)];
    }
    return tail_ok(text, p, pos, mode, r.digit) ? v : 0;
}

// Index of the first decimal digit: where a negative number's digits start.
const char* first_dec_digit(const char* text) { return text + std::strcspn(text, "0123456789"); }

// Range check of the narrow decimal forms; the limits are written in decimal.
bool dec_range(std::int32_t v, std::int32_t lo, std::int32_t hi, const char* text,
               std::uint16_t* pos) {
    if (err_) return false;
    if (v < lo)
        SM_ERR("Integer < ", V_S10(lo, nullptr, 0), " (", text, ")", nullptr);
    else if (v > hi)
        SM_ERR("Integer > ", V_S10(hi, nullptr, 0), " (", text, ")", nullptr);
    else
        return true;
    set_pos(pos, 0);
    return false;
}

// Upper limit of the narrow octal and binary forms, with pos 0 on a range error.
bool unsigned_range(std::uint32_t v, std::uint32_t hi, const char* word, const char* text,
                    std::uint16_t* pos) {
    if (err_) return false;
    if (v <= hi) return true;
    SM_ERR(word, " > ", V_S10(static_cast<std::int32_t>(hi), nullptr, 0), " (", text, ")", nullptr);
    set_pos(pos, 0);
    return false;
}

// Upper limit of the narrow hexadecimal forms; pos is the last character of the run of
// hexadecimal digits at the very start of the text.
bool hex_range(std::uint32_t v, std::uint32_t hi, const char* text, std::uint16_t* pos) {
    if (err_) return false;
    if (v <= hi) return true;
    SM_ERR("Hex overflow (", text, ")", nullptr);
    std::size_t run = 0;
    while (c_v[uc(text[run])] < 16) ++run;
    set_pos(pos, run ? static_cast<std::uint16_t>(run - 1) : no_pos);
    return false;
}

// Runs a conversion; 1 if it raised nothing, else the error is fetched (cleared) and 0.
template <typename F>
char converts(F convert) {
    if (err_) return 0;
    convert();
    if (!err_) return 1;
    ERR_S();
    return 0;
}

}  // namespace

// ---- Text to number -------------------------------------------------------------------------

namespace {

// Signed decimal of type I; rtn names the public routine in ":Null str".
template <typename I>
I dec_signed(const char* rtn, const char* text, std::uint16_t* pos, char mode) {
    using U = std::make_unsigned_t<I>;
    constexpr U max = std::numeric_limits<I>::max();
    constexpr unsigned max_digits = std::numeric_limits<I>::digits10 + 1;
    if (!text) SM_ERR(rtn, ":Null str", nullptr);
    if (err_) return 0;
    set_pos(pos, no_pos);
    const char* p = text + std::strspn(text, blanks);
    if (!*p) return no_digits(pos);
    bool neg = false;
    if (*p == '+' || *p == '-') {
        neg = *p == '-';
        ++p;
        p += std::strspn(p, blanks);
        if (!*p) return no_digits(pos);
    }
    if (c_v[uc(*p)] >= 10) {
        unexp("dec digit", *p, text, pos, p);
        return 0;
    }
    while (*p == '0') ++p;
    U v = 0;  // at most max + 2 before the check below
    for (unsigned n = 0; c_v[uc(*p)] < 10; ++p, ++n) {
        if (n == max_digits || v > max / 10) {
            overflow("Dec overflow (", text, pos, p);
            return 0;
        }
        v = static_cast<U>(v * 10 + c_v[uc(*p)]);
        // Only the most negative value may leave the positive range.
        if (v > max && !(neg && v == max + 1)) {
            overflow("Dec overflow (", text, pos, p);
            return 0;
        }
    }
    if (!tail_ok(text, p, pos, mode, "dec digit")) return 0;
    // Negated in U: max + 1 becomes the most negative value without signed overflow.
    return static_cast<I>(neg ? static_cast<U>(0 - v) : v);
}

// A negative value of the signed form is refused by its unsigned sibling; pos is its first digit.
bool not_negative(bool neg, const char* text, std::uint16_t* pos) {
    if (err_) return false;
    if (!neg) return true;
    set_pos(pos, text, first_dec_digit(text));
    SM_ERR("Integer < 0 (", text, ")", nullptr);
    return false;
}

}  // namespace

std::int32_t S10_I4(const char* text, std::uint16_t* pos, char mode) {
    return dec_signed<std::int32_t>("S10_I4", text, pos, mode);
}

std::uint32_t S10_U4(const char* text, std::uint16_t* pos, char mode) {
    std::int32_t v = S10_I4(text, pos, mode);
    return not_negative(v < 0, text, pos) ? static_cast<std::uint32_t>(v) : 0;
}

std::uint64_t S10_U8(const char* text, std::uint16_t* pos, char mode) {
    std::int64_t v = dec_signed<std::int64_t>("S10_U8", text, pos, mode);
    return not_negative(v < 0, text, pos) ? static_cast<std::uint64_t>(v) : 0;
}

std::uint32_t S16_U4(const char* text, std::uint16_t* pos, char mode, char lead) {
    return radix_u4("S16_U4", hex, text, pos, mode, lead);
}
std::uint32_t S8_U4(const char* text, std::uint16_t* pos, char mode, char lead) {
    return radix_u4("S8_U4", oct, text, pos, mode, lead);
}
std::uint32_t S2_U4(const char* text, std::uint16_t* pos, char mode, char lead) {
    return radix_u4("S2_U4", bin, text, pos, mode, lead);
}

unsigned char S10_U1(const char* text, std::uint16_t* pos, char mode) {
    std::int32_t v = S10_I4(text, pos, mode);
    return dec_range(v, 0, 255, text, pos) ? static_cast<unsigned char>(v) : 0;
}
std::uint16_t S10_U2(const char* text, std::uint16_t* pos, char mode) {
    std::int32_t v = S10_I4(text, pos, mode);
    return dec_range(v, 0, 65535, text, pos) ? static_cast<std::uint16_t>(v) : 0;
}
std::int16_t S10_I2(const char* text, std::uint16_t* pos, char mode) {
    std::int32_t v = S10_I4(text, pos, mode);
    return dec_range(v, -32768, 32767, text, pos) ? static_cast<std::int16_t>(v) : 0;
}
unsigned char S8_U1(const char* text, std::uint16_t* pos, char mode, char lead) {
    std::uint32_t v = S8_U4(text, pos, mode, lead);
    return unsigned_range(v, 255, "Octal", text, pos) ? static_cast<unsigned char>(v) : 0;
}
std::uint16_t S8_U2(const char* text, std::uint16_t* pos, char mode, char lead) {
    std::uint32_t v = S8_U4(text, pos, mode, lead);
    return unsigned_range(v, 65535, "Octal", text, pos) ? static_cast<std::uint16_t>(v) : 0;
}
unsigned char S2_U1(const char* text, std::uint16_t* pos, char mode, char lead) {
    std::uint32_t v = S2_U4(text, pos, mode, lead);
    return unsigned_range(v, 255, "Binary", text, pos) ? static_cast<unsigned char>(v) : 0;
}
std::uint16_t S2_U2(const char* text, std::uint16_t* pos, char mode, char lead) {
    std::uint32_t v = S2_U4(text, pos, mode, lead);
    return unsigned_range(v, 65535, "Binary", text, pos) ? static_cast<std::uint16_t>(v) : 0;
}
unsigned char S16_U1(const char* text, std::uint16_t* pos, char mode, char lead) {
    std::uint32_t v = S16_U4(text, pos, mode, lead);
    return hex_range(v, 255, text, pos) ? static_cast<unsigned char>(v) : 0;
}
std::uint16_t S16_U2(const char* text, std::uint16_t* pos, char mode, char lead) {
    std::uint32_t v = S16_U4(text, pos, mode, lead);
    return hex_range(v, 65535, text, pos) ? static_cast<std::uint16_t>(v) : 0;
}

namespace {

// Every character must be one sscanf may take as part of a number; pos is left alone
// unless a character is refused.
bool float_chars_ok(const char* rtn, const char* text, const char* allowed, std::uint16_t* pos) {
    if (!text) SM_ERR(rtn, ":Null str", nullptr);
    if (err_) return false;
    const char* bad = text + std::strspn(text, allowed);
    if (!*bad) return true;
    unexp("float char", *bad, text, pos, bad);
    return false;
}

template <typename F>
F float_result(int scanned, F v, const char* text, std::uint16_t* pos) {
    if (scanned == 1) {
        set_pos(pos, no_pos);
        return v;
    }
    SM_ERR("Float conv err on \"", text, "\"", nullptr);
    set_pos(pos, 0);
    return 0;
}

}  // namespace

float S_F4(const char* text, std::uint16_t* pos) {
    if (!float_chars_ok("S_F4", text, "0123456789+-.Ee ", pos)) return 0;
    float v = 0;
    const int scanned = std::sscanf(text, "%f", &v);
    return float_result(scanned, v, text, pos);
}

double S_F8(const char* text, std::uint16_t* pos) {
    if (!float_chars_ok("S_F8", text, "0123456789+-.Ee", pos)) return 0;
    double v = 0;
    const int scanned = std::sscanf(text, "%lf", &v);
    return float_result(scanned, v, text, pos);
}

char S10_U1_OK(const char* text) { return converts([&] { S10_U1(text, nullptr, 0); }); }
char S10_U2_OK(const char* text) { return converts([&] { S10_U2(text, nullptr, 0); }); }
char S10_I2_OK(const char* text) { return converts([&] { S10_I2(text, nullptr, 0); }); }
char S10_U4_OK(const char* text) { return converts([&] { S10_U4(text, nullptr, 0); }); }
char S10_I4_OK(const char* text) { return converts([&] { S10_I4(text, nullptr, 0); }); }
char S10_U8_OK(const char* text) { return converts([&] { S10_U8(text, nullptr, 0); }); }
char S_F8_OK(const char* text) { return converts([&] { S_F8(text, nullptr); }); }

// ---- Number to text -------------------------------------------------------------------------

namespace {

// A formatted number must stay below this many characters; longer output is cut.
constexpr std::size_t sprintf_bf_sz = 100;

// Length modifier of the single conversion in a caller's format. A format that printf
// could not take safely with one number (two conversions, "*", "%n", "%s"...) is refused
// and the routine's default format used instead.
enum class Len { bad, none, plain, l, ll, big_l };

Len format_len(const char* format, const char* conversions, bool floating) {
    Len found = Len::none;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        if (found != Len::none) return Len::bad;
        p += std::strspn(p, "-+ #0'");
        p += std::strspn(p, "0123456789");
        if (*p == '.') {
            ++p;
            p += std::strspn(p, "0123456789");
        }
        Len len = Len::plain;
        if (p[0] == 'h') {
            if (floating) return Len::bad;
            p += p[1] == 'h' ? 2 : 1;
        } else if (p[0] == 'l') {
            len = p[1] == 'l' ? Len::ll : Len::l;
            p += p[1] == 'l' ? 2 : 1;
        } else if (p[0] == 'L') {
            len = Len::big_l;
            ++p;
        }
        if (!*p || !std::strchr(conversions, *p)) return Len::bad;
        if (floating ? len == Len::ll : len == Len::big_l) return Len::bad;
        found = len;
    }
    return found;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

// Formats an integer with a checked format into bf at off; the argument is converted to
// what the format's length modifier says. U is what a conversion without "l" takes: when
// it is narrower than the value, such a format would print part of the number and is refused.
template <typename S, typename U, typename L, typename LL>
void format_int(char* bf, std::size_t off, const char* format, const char* dflt, S value) {
    if (off >= sprintf_bf_sz) return;
    char* out = bf + off;
    const std::size_t room = sprintf_bf_sz - off;
    Len len = format ? format_len(format, "diouxX", false) : Len::bad;
    if (len == Len::bad || (sizeof(S) > sizeof(U) && len == Len::plain)) {
        format = dflt;
        len = Len::l;
    }
    switch (len) {
        case Len::plain: std::snprintf(out, room, format, static_cast<U>(value)); break;
        case Len::ll: std::snprintf(out, room, format, static_cast<LL>(value)); break;
        default: std::snprintf(out, room, format, static_cast<L>(value)); break;
    }
}

void format_double(char* bf, const char* format, Len len, double value) {
    if (len == Len::big_l)
        std::snprintf(bf, sprintf_bf_sz, format, static_cast<long double>(value));
    else
        std::snprintf(bf, sprintf_bf_sz, format, value);
}

#pragma GCC diagnostic pop

// The number forms are needed while an error is pending, to compose its very message:
// the pending error is set aside for the copy and put back afterwards.
char* ut_result(const char* bf) {
    ErrAside aside;
    return UT_S_CP(bf);
}

// Puts a comma between each group of three of the first run of digits, counted from the
// right ("1234567" to "1,234,567"); signs and padding before the digits stay as they are.
void group_digits(const char* in, char* out) {
    static const char digits[] = "0123456789";
    std::size_t lead = std::strcspn(in, digits);
    std::size_t n = std::strspn(in + lead, digits);
    std::memcpy(out, in, lead);
    char* o = out + lead;
    for (std::size_t k = 0; k < n; ++k) {
        *o++ = in[lead + k];
        if (k + 1 < n && (n - 1 - k) % 3 == 0) *o++ = ',';
    }
    std::strcpy(o, in + lead + n);
}

// Decimal text of V_S10 and V8_S10, grouped when commas is set.
char* dec_result(const char* bf, char commas) {
    if (!commas) return ut_result(bf);
    // Up to one comma per three of the 99 characters.
    char grouped[sprintf_bf_sz + sprintf_bf_sz / 3 + 1];
    group_digits(bf, grouped);
    return ut_result(grouped);
}

// Prefix, cut to what the buffer holds; returns its length.
std::size_t put_prefix(char* bf, const char* prefix) {
    if (!prefix) {
        bf[0] = 0;
        return 0;
    }
    std::size_t n = strnlen(prefix, sprintf_bf_sz - 1);
    std::memcpy(bf, prefix, n);
    bf[n] = 0;
    return n;
}

}  // namespace

char* V_S10(std::int32_t value, const char* format, char commas) {
    char bf[sprintf_bf_sz];
    format_int<std::int32_t, int, long, long long>(bf, 0, format, "%ld", value);
    return dec_result(bf, commas);
}

char* V8_S10(std::uint64_t value, const char* format, char commas) {
    static_assert(sizeof(unsigned long) == sizeof(std::uint64_t), "\"%lu\" takes 64 bits");
    char bf[sprintf_bf_sz];
    format_int<std::uint64_t, unsigned, unsigned long, unsigned long long>(bf, 0, format, "%lu", value);
    return dec_result(bf, commas);
}

char* V_S16(std::uint32_t value, const char* format, const char* prefix) {
    char bf[sprintf_bf_sz];
    std::size_t n = put_prefix(bf, prefix);
    format_int<std::uint32_t, unsigned, unsigned long, unsigned long long>(bf, n, format, "%lx", value);
    return ut_result(bf);
}

char* V_S8(std::uint32_t value, const char* format, const char* prefix) {
    char bf[sprintf_bf_sz];
    std::size_t n = put_prefix(bf, prefix);
    format_int<std::uint32_t, unsigned, unsigned long, unsigned long long>(bf, n, format, "%lo", value);
    return ut_result(bf);
}

char* V_S2(std::uint32_t value, std::uint16_t width, const char* prefix) {
    char bf[sprintf_bf_sz];
    std::size_t n = put_prefix(bf, prefix);
    char digits[33];
    std::size_t nd = 0;
    int top = 31;
    while (top > 0 && !(value >> top & 1u)) --top;
    for (int b = top; b >= 0; --b) digits[nd++] = static_cast<char>('0' + (value >> b & 1u));
    // Zeros go between the prefix and the digits, up to the total width.
    std::size_t total = width < sprintf_bf_sz - 1 ? width : sprintf_bf_sz - 1;
    while (n + nd < total) bf[n++] = '0';
    std::size_t take = n + nd < sprintf_bf_sz ? nd : sprintf_bf_sz - 1 - n;
    std::memcpy(bf + n, digits, take);
    bf[n + take] = 0;
    return ut_result(bf);
}

char* V_S(double value, const char* format) {
    static char unknown[2];
    unknown[0] = '?';
    unknown[1] = 0;
    if (err_) return unknown;
    // "%f" of the largest double has 317 characters: the plain form is never cut.
    char bf[sprintf_bf_sz + 320];
    Len len = format ? format_len(format, "fFeEgGaA", true) : Len::bad;
    if (len == Len::bad) {
        std::snprintf(bf, sizeof bf, "%f", value);
        // Trailing zeros go, but one digit stays after the point: 2.0, 2.5, 3.14.
        const std::uint16_t dot = FND_B('.', bf, 0, 65535, 1);
        if (dot != 65535) {
            std::size_t end = std::strlen(bf);
            while (end > dot + 2u && bf[end - 1] == '0') --end;
            bf[end] = 0;
        }
    } else {
        format_double(bf, format, len, value);
    }
    char* text = UT_S_CP(bf);
    return text ? text : unknown;
}
