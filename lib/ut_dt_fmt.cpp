// Time formatting by example (TM_S) and free-form time parsing (S_TM): both cut their text
// into tokens of one character class and recognise dates, times and names among them.
#include "ut_dt_fmt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cl_lb.h"
#include "cnv_lb.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "rm_trl.h"
#include "s_mt.h"

namespace {

enum class TokCls : unsigned char { digit, letter, other, mixed };

struct Tok {
    std::size_t off = 0;
    std::size_t len = 0;
    TokCls cls = TokCls::other;
};

TokCls cls_of(char c) {
    const unsigned v = c_v[static_cast<unsigned char>(c)];
    return v < 10 ? TokCls::digit : v != 255 ? TokCls::letter : TokCls::other;
}

// Cuts text into runs of one class. When a 30th token would begin, the whole rest of the
// text becomes that token; if it holds more than one class it is "mixed" and matches no
// rule, so a long text keeps its tail as it was.
std::size_t cut(const char* text, Tok* toks) {
    std::size_t n = 0;
    std::size_t p = 0;
    while (text[p] && n < tm_tok_mxc) {
        const TokCls c = cls_of(text[p]);
        std::size_t q = p + 1;
        while (text[q] && cls_of(text[q]) == c) ++q;
        if (n == tm_tok_mxc - 1 && text[q]) {
            toks[n++] = Tok{p, p + std::strlen(text + p) - p, TokCls::mixed};
            break;
        }
        toks[n++] = Tok{p, q - p, c};
        p = q;
    }
    return n;
}

// The value of a run of digits, as S10_U2 reads it: anything above 65535 does not read.
bool digits_val(const char* p, std::size_t len, std::uint32_t& v) {
    v = 0;
    for (std::size_t i = 0; i < len; ++i) {
        v = v * 10 + c_v[static_cast<unsigned char>(p[i])];
        if (v > 65535) return false;
    }
    return true;
}

// Case-insensitive equality of a token with a word (S_MT with case 0, literal 1).
bool tok_eq(const char* p, std::size_t len, const char* word) {
    std::size_t i = 0;
    for (; i < len; ++i) {
        if (!word[i] || ch_upper[static_cast<unsigned char>(p[i])] != ch_upper[static_cast<unsigned char>(word[i])])
            return false;
    }
    return word[i] == 0;
}

// Longest letter token that can name a weekday or a month ("Wednesday", "September").
constexpr std::size_t name_mxl = 15;

bool wday_name(const char* word) { return CL_X(cl_wday + 1, word, 0, 0) >= 0; }

// ---- Sample compilation (TM_S) -----------------------------------------------------------

class SampleCutter {
public:
    SampleCutter(TmSample& s, const char* text) : s_(s), text_(text) { n_ = cut(text, toks_); }

    void run() {
        std::size_t i = 0;
        while (i < n_) {
            std::size_t used = 0;
            if (toks_[i].cls == TokCls::digit) used = digit_rules(i);
            else if (toks_[i].cls == TokCls::letter) used = letter_rule(i);
            if (!used) {
                put(i, TmPart::lit);
                used = 1;
            }
            i += used;
        }
    }

private:
    bool is(std::size_t k, const char* word) const {
        return k < n_ && tok_eq(text_ + toks_[k].off, toks_[k].len, word);
    }
    bool val(std::size_t k, std::uint32_t& v) const {
        return k < n_ && toks_[k].cls == TokCls::digit && digits_val(text_ + toks_[k].off, toks_[k].len, v);
    }
    bool zero(std::size_t k) const { return text_[toks_[k].off] == '0'; }

    void put(std::size_t k, TmPart part, bool pad = false) {
        TmPiece& p = s_.pieces[s_.cnt++];
        p.part = part;
        p.pad = pad;
        p.off = toks_[k].off;
        p.len = toks_[k].len;
        if (part != TmPart::lit) s_.recognised = true;
    }
    void lits(std::size_t from, std::size_t to) {
        for (std::size_t k = from; k <= to; ++k) put(k, TmPart::lit);
    }

    // Rules for a digit token; returns the number of tokens rewritten (0: none applies).
    // A month written with a leading zero ("01/31/2026") asks for a two-digit day as well,
    // so that the date keeps its fixed width; a day written "05" is padded on its own.
    std::size_t digit_rules(std::size_t i) {
        std::uint32_t a = 0, b = 0, c = 0, d = 0;
        if (!val(i, a)) return 0;
        // Three-part date, month first or (from 32 on) year first.
        const bool sep3 = (is(i + 1, "/") && is(i + 3, "/")) || (is(i + 1, "-") && is(i + 3, "-"));
        if (sep3 && val(i + 2, b) && val(i + 4, c)) {
            if (a < 32 && a <= 12 && b <= 31 && c <= 9999) {
                put(i, TmPart::mon, zero(i));
                lits(i + 1, i + 1);
                put(i + 2, TmPart::day, zero(i) || zero(i + 2));
                lits(i + 3, i + 3);
                put(i + 4, c > 99 ? TmPart::year4 : TmPart::year2);
                return 5;
            }
            if (a >= 32 && a <= 9999 && b <= 12 && c <= 31) {
                put(i, a > 99 ? TmPart::year4 : TmPart::year2);
                lits(i + 1, i + 1);
                put(i + 2, TmPart::mon, zero(i + 2));
                lits(i + 3, i + 3);
                put(i + 4, TmPart::day, zero(i + 2) || zero(i + 4));
                return 5;
            }
        }
        // Two-part date, month first.
        if ((is(i + 1, "/") || is(i + 1, "-")) && val(i + 2, b) && a <= 12 && b <= 31) {
            put(i, TmPart::mon, zero(i));
            lits(i + 1, i + 1);
            put(i + 2, TmPart::day, zero(i) || zero(i + 2));
            return 3;
        }
        // Times: with milliseconds, with seconds, hour and minute.
        std::size_t last = 0;
        if (is(i + 1, ":") && is(i + 3, ":") && is(i + 5, ":") && val(i + 2, b) && val(i + 4, c) &&
            val(i + 6, d) && a <= 23 && b <= 59 && c <= 59 && d <= 999) {
            last = i + 6;
        } else if (is(i + 1, ":") && is(i + 3, ":") && val(i + 2, b) && val(i + 4, c) && a <= 23 && b <= 59 &&
                   c <= 59) {
            last = i + 4;
        } else if (is(i + 1, ":") && val(i + 2, b) && a <= 23 && b <= 59) {
            last = i + 2;
        } else {
            return 0;
        }
        // A sample hour of 1 to 12 asks for the 12-hour clock; a leading zero or an hour
        // above 12 asks for two digits.
        const bool clock12 = a >= 1 && a <= 12;
        put(i, clock12 ? TmPart::hour12 : TmPart::hour24, zero(i) || a > 12);
        lits(i + 1, i + 1);
        put(i + 2, TmPart::min);
        if (last >= i + 4) {
            lits(i + 3, i + 3);
            put(i + 4, TmPart::sec);
        }
        if (last >= i + 6) {
            lits(i + 5, i + 5);
            put(i + 6, TmPart::msec);
        }
        std::size_t k = last + 1;
        if (is(k, "A") || is(k, "P")) {
            put(k, TmPart::mark1);
            return k + 1 - i;
        }
        if (is(k, "AM") || is(k, "PM")) {
            put(k, TmPart::mark2);
            return k + 1 - i;
        }
        if (k < n_ && toks_[k].len == 1 && text_[toks_[k].off] == ' ') {
            if (is(k + 1, "A") || is(k + 1, "P")) {
                lits(k, k);
                put(k + 1, TmPart::mark1);
                return k + 2 - i;
            }
            if (is(k + 1, "AM") || is(k + 1, "PM")) {
                lits(k, k);
                put(k + 1, TmPart::mark2);
                return k + 2 - i;
            }
        }
        return last + 1 - i;
    }

    std::size_t letter_rule(std::size_t i) {
        const Tok& t = toks_[i];
        if (is(i, "Year")) put(i, TmPart::year_full);
        else if (is(i, "Date")) put(i, TmPart::date);
        else if (is(i, "dd")) put(i, TmPart::dd);
        else if (is(i, "Weekday")) put(i, TmPart::wday_name);
        else if (is(i, "Month")) put(i, TmPart::mon_name);
        else if (t.len <= name_mxl) {
            char word[name_mxl + 1];
            std::memcpy(word, text_ + t.off, t.len);
            word[t.len] = 0;
            if (wday_name(word)) put(i, TmPart::wday_name);
            else if (S_MONTH(word) != 65535) put(i, TmPart::mon_name);
            else return 0;
        } else {
            return 0;
        }
        return 1;
    }

    TmSample& s_;
    const char* text_;
    Tok toks_[tm_tok_mxc];
    std::size_t n_ = 0;
};

// Widest text a field piece writes: a month or weekday name, or "65535".
constexpr std::size_t field_mxl = 9;

const char* const unknown_name = "?";

}  // namespace

void tm_sample_cut(TmSample& s, const char* sample) {
    s.text = sample ? sample : "";
    s.cnt = 0;
    s.recognised = false;
    SampleCutter(s, s.text).run();
}

std::size_t tm_sample_len(const TmSample& s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.cnt; ++i) n += s.pieces[i].part == TmPart::lit ? s.pieces[i].len : field_mxl;
    return n;
}

namespace {

// Hands the pieces of rec, written in the sample's style, to sink(text, length) in order;
// stops early when the sink returns false. Returns whether every piece was taken.
template <typename Sink>
bool emit(const TmSample& s, const UTMDF& r, Sink sink) {
    // Decimal digits of v, at least width of them (zeros in front). Written by hand: the
    // string lists format every value of a time range through here.
    auto num = [&](unsigned v, unsigned width) {
        char bf[12];
        char* end = bf + sizeof bf;
        char* p = end;
        do {
            *--p = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v);
        while (static_cast<unsigned>(end - p) < width) *--p = '0';
        return sink(p, static_cast<std::size_t>(end - p));
    };
    auto name = [&](const char* text) { return sink(text, std::strlen(text)); };
    for (std::size_t i = 0; i < s.cnt; ++i) {
        const TmPiece& p = s.pieces[i];
        const unsigned two = p.pad ? 2 : 1;
        bool more = true;
        switch (p.part) {
            case TmPart::lit: more = sink(s.text + p.off, p.len); break;
            case TmPart::mon: more = num(r.mon, two); break;
            case TmPart::day: more = num(r.day, two); break;
            case TmPart::year2: more = num(r.year % 100u, 2); break;
            case TmPart::year4: more = num(r.year, 4); break;
            case TmPart::hour12: {
                unsigned h = r.hour;
                if (h == 0) h = 12;
                else if (h > 12 && h <= 23) h -= 12;
                more = num(h, two);
                break;
            }
            case TmPart::hour24: more = num(r.hour, two); break;
            case TmPart::min: more = num(r.min, 2); break;
            case TmPart::sec: more = num(r.sec, 2); break;
            case TmPart::msec: more = num(r.msec, 3); break;
            case TmPart::mark1: more = name(r.hour >= 12 ? "P" : "A"); break;
            case TmPart::mark2: more = name(r.hour >= 12 ? "PM" : "AM"); break;
            case TmPart::year_full: more = num(r.year, 1); break;
            case TmPart::date: more = num(r.day, 1); break;
            case TmPart::dd: more = num(r.day, 2); break;
            case TmPart::wday_name: more = name(r.wday >= 1 && r.wday <= 7 ? cl_wday[r.wday] : unknown_name); break;
            case TmPart::mon_name: more = name(r.mon >= 1 && r.mon <= 12 ? cl_month[r.mon] : unknown_name); break;
        }
        if (!more) return false;
    }
    return true;
}

}  // namespace

std::size_t tm_sample_put(const TmSample& s, const UTMDF& r, char* out, std::size_t room) {
    if (!room) return 0;
    std::size_t n = 0;
    emit(s, r, [&](const char* p, std::size_t len) {
        len = std::min(len, room - 1 - n);
        std::memcpy(out + n, p, len);
        n += len;
        return true;
    });
    out[n] = 0;
    return n;
}

char tm_sample_mt(const TmSample& s, const UTMDF& r, const char* text, char cs) {
    std::size_t n = 0;
    const bool all = emit(s, r, [&](const char* p, std::size_t len) {
        for (std::size_t i = 0; i < len; ++i, ++n) {
            const auto a = static_cast<unsigned char>(p[i]);
            const auto b = static_cast<unsigned char>(text[n]);
            if (!b || (cs ? a != b : ch_upper[a] != ch_upper[b])) return false;
        }
        return true;
    });
    return all && !text[n] ? 1 : 0;
}

char* TM_S(const UTMDF* rec, const char* sample) {
    static const char rtn[] = "TM_S";
    // The constant answer while an error is pending; rewritten each time, so a caller that
    // wrote into it cannot change the next answer.
    static char unknown[2];
    unknown[0] = '?';
    unknown[1] = 0;
    if (err_) return unknown;
    TmSample s;
    tm_sample_cut(s, sample ? sample : "12:00:00");
    // Temporary strings are at most 65535 characters long, as UT_S_CP cuts them.
    const std::size_t len = std::min<std::size_t>(tm_sample_len(s), 65535);
    char* out = UT_AL(static_cast<std::uint32_t>(len));
    if (RTN_ERR(rtn) || !out) return unknown;
    tm_sample_put(s, rec ? *rec : utm_, out, len + 1);
    return out;
}

// ---- Parsing (S_TM) ----------------------------------------------------------------------

namespace {

constexpr UTMDF unknown_rec{65535, 255, 255, 255, 255, 255, 255, 65535};
const char no_time_found[] = "No time found";

struct Found {
    UTMDF v = unknown_rec;
    bool mon = false, day = false, year = false, wday = false, hour = false, min = false, sec = false,
         msec = false;
    bool any() const { return mon || day || year || wday || hour || min || sec || msec; }
};

class TimeParser {
public:
    TimeParser(char** toks, const TokCls* cls, std::size_t n) : toks_(toks), cls_(cls), n_(n) {}

    void names() {
        for (std::size_t i = 0; i < n_; ++i) {
            if (cls_[i] != TokCls::letter || used_[i] || std::strlen(toks_[i]) > name_mxl) continue;
            if (!f.wday) {
                std::int32_t ix = CL_X(cl_wday + 1, toks_[i], 0, 0);
                if (ix < 0) ix = CL_X(cl_wday_short + 1, toks_[i], 0, 0);
                if (ix >= 0) {
                    set(f.wday, f.v.wday, ix + 1);
                    used_[i] = true;
                    continue;
                }
            }
            if (!f.mon) {
                const std::uint16_t m = S_MONTH(toks_[i]);
                if (m == 65535) continue;
                set(f.mon, f.v.mon, m);
                used_[i] = true;
                // "Jan. 5", "Jan 5": the day right after the month name.
                std::uint32_t d = 0;
                if (i + 2 < n_ && (!toks_[i + 1][0] || is(i + 1, ".")) && val(i + 2, d) && d >= 1 && d <= 31) {
                    set(f.day, f.v.day, d);
                    used_[i + 1] = used_[i + 2] = true;
                }
            }
        }
    }

    // Returns false after raising the unexpected-text error (strict only).
    bool numbers(char strict) {
        std::size_t i = 0;
        while (i < n_) {
            if (used_[i] || cls_[i] == TokCls::other || (cls_[i] == TokCls::letter && is_name(toks_[i]))) {
                ++i;
                continue;
            }
            std::uint32_t a = 0;
            if (val(i, a)) {
                const long r = patterns(i, a);
                if (r >= 0) {
                    // A pattern with values out of range sets nothing; its tokens are then
                    // looked at one by one.
                    i += r > 0 ? static_cast<std::size_t>(r) : 1;
                    continue;
                }
                if (!f.year && a >= 1980 && a <= 2999) {
                    set(f.year, f.v.year, a);
                    ++i;
                    continue;
                }
                // A lone 1 to 31 is taken as the day, so that "5 Jan 2026" reads as it is
                // meant; the month always comes from a name or a date pattern.
                if (!f.day && a >= 1 && a <= 31) {
                    set(f.day, f.v.day, a);
                    ++i;
                    continue;
                }
            }
            if (strict) {
                SM_ERR("Unexp time text \"", toks_[i], "\"", nullptr);
                return false;
            }
            ++i;
        }
        return true;
    }

    Found f;

private:
    template <typename F, typename V>
    static void set(bool& got, F& field, V v) {
        got = true;
        field = static_cast<F>(v);
    }
    bool is(std::size_t k, const char* word) const {
        return k < n_ && !used_[k] && S_MT(toks_[k], word, 0, 1, 0, 0);
    }
    bool val(std::size_t k, std::uint32_t& v) const {
        return k < n_ && !used_[k] && cls_[k] == TokCls::digit && digits_val(toks_[k], std::strlen(toks_[k]), v);
    }
    static bool is_name(const char* tok) {
        if (std::strlen(tok) > name_mxl) return false;
        return CL_X(cl_wday + 1, tok, 0, 0) >= 0 || CL_X(cl_wday_short + 1, tok, 0, 0) >= 0 ||
               S_MONTH(tok) != 65535;
    }
    void use(std::size_t from, std::size_t to) {
        for (std::size_t k = from; k <= to; ++k) used_[k] = true;
    }

    // The date and time patterns starting at token i: tokens consumed when one applies, 0
    // when the first pattern present has values out of range, -1 when none is present.
    long patterns(std::size_t i, std::uint32_t a) {
        std::uint32_t b = 0, c = 0, d = 0;
        if (((is(i + 1, "/") && is(i + 3, "/")) || (is(i + 1, "-") && is(i + 3, "-"))) && i + 4 < n_) {
            if (!(val(i + 2, b) && val(i + 4, c) && date_ok(a, b))) return 0;
            set(f.mon, f.v.mon, a);
            set(f.day, f.v.day, b);
            set(f.year, f.v.year, c <= 99 ? c + 2000 : c);
            use(i, i + 4);
            return 5;
        }
        if ((is(i + 1, "/") || is(i + 1, "-")) && i + 2 < n_) {
            if (!(val(i + 2, b) && date_ok(a, b))) return 0;
            set(f.mon, f.v.mon, a);
            set(f.day, f.v.day, b);
            use(i, i + 2);
            return 3;
        }
        std::size_t last = 0;
        int parts = 0;  // 1 hour and minute, 2 with seconds, 3 with milliseconds
        if (is(i + 1, ":") && is(i + 3, ":") && is(i + 5, ":") && i + 6 < n_) {
            if (!(val(i + 2, b) && val(i + 4, c) && val(i + 6, d) && a < 24 && b <= 59 && c <= 59 && d <= 999))
                return 0;
            last = i + 6;
            parts = 3;
        } else if (is(i + 1, ":") && is(i + 3, ":") && i + 4 < n_) {
            if (!(val(i + 2, b) && val(i + 4, c) && a < 24 && b <= 59 && c <= 59)) return 0;
            last = i + 4;
            parts = 2;
        } else if (is(i + 1, ":") && i + 2 < n_) {
            if (!(val(i + 2, b) && a < 24 && b <= 59)) return 0;
            last = i + 2;
            parts = 1;
        } else {
            return -1;
        }
        // An A/AM or P/PM marker right after the time, or after one blank.
        std::uint32_t hour = a;
        std::size_t k = last + 1;
        if (k + 1 < n_ && !used_[k] && cls_[k] == TokCls::other && !toks_[k][0] && marker(k + 1)) ++k;
        if (marker(k)) {
            if (ch_upper[static_cast<unsigned char>(toks_[k][0])] == 'A') {
                if (hour == 12) hour = 0;
            } else if (hour < 12) {
                hour += 12;
            }
            last = k;
        }
        set(f.hour, f.v.hour, hour);
        set(f.min, f.v.min, b);
        if (parts >= 2) set(f.sec, f.v.sec, c);
        if (parts == 3) set(f.msec, f.v.msec, d);
        use(i, last);
        return static_cast<long>(last + 1 - i);
    }

    // Month 0 or day 0 is out of range like month 13: the record has no value for it.
    static bool date_ok(std::uint32_t mon, std::uint32_t day) { return mon >= 1 && mon <= 12 && day >= 1 && day <= 31; }

    bool marker(std::size_t k) const {
        return is(k, "A") || is(k, "AM") || is(k, "P") || is(k, "PM");
    }

    char** toks_;
    const TokCls* cls_;
    std::size_t n_;
    bool used_[tm_tok_mxc] = {};
};

}  // namespace

void S_TM(const char* text, UTMDF* out, char start_mode, char strict) {
    static const char rtn[] = "S_TM";
    if (err_) return;
    UTMDF start = unknown_rec;
    if (start_mode) {
        TM_RD(&start);
        if (RTN_ERR(rtn)) return;
        if (start_mode == 1) {
            start.hour = start.min = start.sec = 0;
            start.msec = 0;
        }
    }
    UTMDF& o = out ? *out : utm_;
    o = start;
    if (!text || !*text) {
        S_ERR(no_time_found);
        return;
    }

    Tok toks[tm_tok_mxc];
    const std::size_t n = cut(text, toks);
    // Every token is copied with its own terminator, trailing blanks removed.
    const std::size_t text_len = toks[n - 1].off + toks[n - 1].len;
    LbOwned copies(MEM_AL(static_cast<std::uint32_t>(text_len + n)));
    if (RTN_ERR(rtn)) return;
    char* words[tm_tok_mxc];
    TokCls cls[tm_tok_mxc];
    char* w = copies.get();
    for (std::size_t i = 0; i < n; ++i) {
        words[i] = w;
        cls[i] = toks[i].cls;
        std::memcpy(w, text + toks[i].off, toks[i].len);
        w[toks[i].len] = 0;
        RM_TRL(w);
        w += toks[i].len + 1;
    }

    TimeParser p(words, cls, n);
    p.names();
    if (RTN_ERR(rtn)) return;
    if (!p.numbers(strict)) return;
    if (RTN_ERR(rtn)) return;

    const Found& f = p.f;
    if (!f.any()) {
        S_ERR(no_time_found);
        return;
    }
    if (f.mon) o.mon = f.v.mon;
    if (f.day) o.day = f.v.day;
    if (f.year) o.year = f.v.year;
    if (f.wday) o.wday = f.v.wday;
    if (f.hour) o.hour = f.v.hour;
    if (f.min) o.min = f.v.min;
    if (f.sec) o.sec = f.v.sec;
    if (f.msec) o.msec = f.v.msec;
}
