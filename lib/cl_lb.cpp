// String lists: what kind each entry is and how many items it stands for, enumeration with
// a cache that makes sequential access one step per call, lookup, and helpers on top.
#include "cl_lb.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "cnv_lb.h"
#include "fl_lb.h"
#include "lb_own.h"
#include "ut_dt_own.h"
#include "mem_lb.h"
#include "s_mt.h"
#include "s_ord.h"
#include "tm_lb.h"
#include "ut_dt.h"
#include "ut_dt_fmt.h"

const char cl_any_txt[] = "[ANY]";
const char qt_[] = "\"";

namespace {

constexpr std::uint32_t u4_max = 4294967295u;
constexpr std::int64_t i4_max = 2147483647;
constexpr std::int64_t i4_min = -2147483647 - 1;

// Items looked at by CL_I4_MIN (0 to 50) and CL_I4_MAX (the last 51).
constexpr std::uint32_t i4_scan_cnt = 51;

// Block size of the line count of a file entry.
constexpr std::uint32_t line_cnt_bf_sz = 16384;

// Fixed-point ranges keep their values as integer multiples of the step; beyond these the
// steps would no longer be exact in a double.
constexpr unsigned fix_digits_mx = 9;
constexpr double fix_scaled_mx = 9.0e15;
// Absorbs the representation error of decimal fractions ("0.3" is not 3 tenths exactly).
constexpr double fix_eps = 1e-6;

std::uint32_t sat_u4(std::int64_t n) {
    return n <= 0 ? 0 : n >= static_cast<std::int64_t>(u4_max) ? u4_max : static_cast<std::uint32_t>(n);
}

// Runs a conversion; on failure its error is cleared and false returned.
template <typename F>
bool quietly(F convert) {
    convert();
    if (!err_) return true;
    ERR_S();
    return false;
}

// A failure inside a file entry ends that entry: the error is cleared and, with the debug
// trail on, written there under the routine's name.
void drop_error(const char* rtn) {
    const char* msg = ERR_S();
    if (dbg_ > 0) SM_DBG(rtn, ":", msg ? msg : "", nullptr);
}

// ---- Calendar day numbers (days since 1970-01-01, proleptic Gregorian) -------------------

unsigned month_len(std::int64_t y, unsigned m) { return tm_month_len(m, tm_leap(y)); }

// Weekday 1-7 (1 = Sunday) of a day number: 1970-01-01 was a Thursday.
std::uint8_t wday_of(std::int64_t z) { return static_cast<std::uint8_t>(((z % 7 + 7 + 4) % 7) + 1); }

// ---- Time ranges -----------------------------------------------------------------------------

enum class Unit { ms, sec, min, hour, day, month, year };

// Which fields a bound gave (S_TM with start mode 0 leaves the others unknown).
struct Given {
    bool year, mon, day, wday, hour, min, sec, msec;
    explicit Given(const UTMDF& g)
        : year(g.year != 65535), mon(g.mon != 255), day(g.day != 255), wday(g.wday != 255),
          hour(g.hour != 255), min(g.min != 255), sec(g.sec != 255), msec(g.msec != 65535) {}
};

UTMDF overlay(UTMDF base, const UTMDF& g, const Given& on) {
    if (on.year) base.year = g.year;
    if (on.mon) base.mon = g.mon;
    if (on.day) base.day = g.day;
    if (on.wday) base.wday = g.wday;
    if (on.hour) base.hour = g.hour;
    if (on.min) base.min = g.min;
    if (on.sec) base.sec = g.sec;
    if (on.msec) base.msec = g.msec;
    return base;
}

std::uint64_t tod_ms(const UTMDF& r) {
    return ((static_cast<std::uint64_t>(r.hour) * 60 + r.min) * 60 + r.sec) * 1000 + r.msec;
}

// The values of a time range: the lower bound read onto today at 00:00:00.000, stepped by
// the smallest part the lower bound gives, up to the first value whose given parts equal
// the upper bound's. Items are worked out from their index, so random access costs no walk.
class TimeRange {
public:
    // False when the bounds do not make a time range.
    bool set(const char* lower, const char* upper) {
        if (!*upper) return false;  // an open end has no value to stop at
        // Both bounds are read strictly; a date that does not exist (2/30) makes no range.
        UTMDF g{}, ug{};
        if (!quietly([&] { S_TM(lower, &g, 0, 1); })) return false;
        if (!quietly([&] { S_TM(upper, &ug, 0, 1); })) return false;
        // Items are the lower bound with the values put in: a bound with nothing the
        // formatter rewrites ("2026,") would give the same text for every item.
        tm_sample_cut(fmt_, lower);
        if (!fmt_.recognised) return false;
        UTMDF today{};
        TM_RD(&today);
        if (err_) return false;
        today.hour = today.min = today.sec = 0;
        today.msec = 0;
        const Given on(g);
        const Given up_on(ug);
        start_ = overlay(today, g, on);
        const UTMDF up = overlay(today, ug, up_on);

        unit_ = on.msec ? Unit::ms
                : on.sec ? Unit::sec
                : on.min ? Unit::min
                : on.hour ? Unit::hour
                : on.day || on.wday ? Unit::day
                : on.mon ? Unit::month
                         : Unit::year;
        // A bound that gives only a year steps by one year. (The parser gives a year alone
        // only for a lone number, which the formatter does not rewrite, so no bound reaches
        // this today; the step is there should either routine learn more.)
        // Stepping by month lengths from the 1st lands on the 1st of every month; from the
        // 31st it would skip the shorter months.
        if (unit_ == Unit::month || unit_ == Unit::year) start_.day = 1;
        if (start_.mon < 1 || start_.mon > 12 || start_.day < 1 || start_.day > month_len(start_.year, start_.mon))
            return false;
        start_days_ = tm_civil_days(start_.year, start_.mon, start_.day);
        if (unit_ == Unit::month || unit_ == Unit::year) start_.wday = wday_of(start_days_);
        cnt_ = count(on, up);
        return true;
    }

    std::uint32_t cnt() const { return cnt_; }
    const TmSample& fmt() const { return fmt_; }

    UTMDF at(std::uint32_t k) const {
        UTMDF r = start_;
        std::int64_t y = 0;
        unsigned m = 0, d = 0;
        if (unit_ == Unit::month || unit_ == Unit::year) {
            const std::int64_t months =
                start_.year * 12 + (start_.mon - 1) + static_cast<std::int64_t>(k) * (unit_ == Unit::year ? 12 : 1);
            y = months / 12;
            m = static_cast<unsigned>(months % 12) + 1;
            d = 1;
            r.wday = wday_of(tm_civil_days(y, m, d));
        } else {
            const std::uint64_t off = t0_ + k;
            const std::uint64_t days = off / per_day_;
            const std::uint64_t rem = (off % per_day_) * unit_ms_;
            tm_civil_from_days(start_days_ + static_cast<std::int64_t>(days), y, m, d);
            if (start_.wday >= 1 && start_.wday <= 7) r.wday = static_cast<std::uint8_t>((start_.wday - 1 + days) % 7 + 1);
            r.hour = static_cast<std::uint8_t>(rem / hour_ms);
            r.min = static_cast<std::uint8_t>(rem / min_ms % 60);
            r.sec = static_cast<std::uint8_t>(rem / 1000 % 60);
            r.msec = static_cast<std::uint16_t>(rem % 1000);
        }
        r.year = static_cast<std::uint16_t>(y);
        r.mon = static_cast<std::uint8_t>(m);
        r.day = static_cast<std::uint8_t>(d);
        return r;
    }

    // The value after r (r being a value of the range): the same as at(k + 1) from at(k),
    // without the calendar arithmetic.
    void step(UTMDF& r) const {
        if (unit_ == Unit::month || unit_ == Unit::year) {
            r = at(static_cast<std::uint32_t>(index_of_month(r) + 1));
            return;
        }
        const std::uint64_t add = unit_ms_;
        std::uint64_t ms = tod_ms(r) + add;
        if (ms >= day_ms) {
            ms -= day_ms;
            if (r.wday >= 1 && r.wday <= 7) r.wday = static_cast<std::uint8_t>(r.wday % 7 + 1);
            if (r.day >= month_len(r.year, r.mon)) {
                r.day = 1;
                if (r.mon >= 12) {
                    r.mon = 1;
                    ++r.year;
                } else {
                    ++r.mon;
                }
            } else {
                ++r.day;
            }
        }
        r.hour = static_cast<std::uint8_t>(ms / hour_ms);
        r.min = static_cast<std::uint8_t>(ms / min_ms % 60);
        r.sec = static_cast<std::uint8_t>(ms / 1000 % 60);
        r.msec = static_cast<std::uint16_t>(ms % 1000);
    }

private:
    std::int64_t index_of_month(const UTMDF& r) const {
        const std::int64_t months = (r.year - start_.year) * 12 + (r.mon - start_.mon);
        return unit_ == Unit::year ? months / 12 : months;
    }

    std::uint8_t wday_at(std::int64_t z) const {
        return static_cast<std::uint8_t>((start_.wday - 1 + (z - start_days_)) % 7 + 1);
    }

    // First day number from z on whose date parts that the lower bound gives equal up's;
    // -1 if there is none. Without a year the calendar repeats (weekdays included) every
    // 400 years, so the search ends there.
    std::int64_t next_day(std::int64_t z, const Given& on, const UTMDF& up) const {
        const std::int64_t limit = z + 146097 + 366;
        while (on.year || z <= limit) {
            std::int64_t y = 0;
            unsigned m = 0, d = 0;
            tm_civil_from_days(z, y, m, d);
            const std::int64_t next_month = tm_civil_days(m == 12 ? y + 1 : y, m == 12 ? 1 : m + 1, 1);
            if (on.year && y > up.year) return -1;
            if (on.year && y < up.year) {
                z = tm_civil_days(up.year, 1, 1);
            } else if (on.mon && m != up.mon) {
                z = next_month;
            } else if (on.day && d != up.day) {
                z = d < up.day && up.day <= month_len(y, m) ? z + (up.day - d) : next_month;
            } else if (on.wday && wday_at(z) != up.wday) {
                if (up.wday < 1 || up.wday > 7) return -1;
                z += (up.wday + 7 - wday_at(z)) % 7;
            } else {
                return z;
            }
        }
        return -1;
    }

    std::uint32_t count(const Given& on, const UTMDF& up) {
        if (unit_ == Unit::year) return sat_u4(static_cast<std::int64_t>(up.year) - start_.year + 1);
        if (unit_ == Unit::month) {
            if (up.mon < 1 || up.mon > 12) return 0;
            const std::int64_t from = start_.year * 12 + (start_.mon - 1);
            if (on.year) return sat_u4(up.year * 12 + (up.mon - 1) - from + 1);
            return static_cast<std::uint32_t>((up.mon + 12 - start_.mon) % 12 + 1);
        }
        // Every bound that gives a time gives the hour and the minute, and seconds only
        // with them: the parts from the hour down to the unit make one time of day.
        unit_ms_ = unit_ == Unit::ms    ? 1
                   : unit_ == Unit::sec ? 1000
                   : unit_ == Unit::min ? min_ms
                   : unit_ == Unit::hour ? hour_ms
                                         : day_ms;
        per_day_ = day_ms / unit_ms_;
        t0_ = tod_ms(start_) / unit_ms_;
        const std::uint64_t t_up = tod_ms(up) / unit_ms_;
        const std::int64_t z = next_day(start_days_ + (t_up >= t0_ ? 0 : 1), on, up);
        if (z < 0) return 0;
        return sat_u4((z - start_days_) * static_cast<std::int64_t>(per_day_) + static_cast<std::int64_t>(t_up) -
                      static_cast<std::int64_t>(t0_) + 1);
    }

    TmSample fmt_;
    UTMDF start_{};
    Unit unit_ = Unit::day;
    std::int64_t start_days_ = 0;
    std::uint64_t unit_ms_ = day_ms;
    std::uint64_t per_day_ = 1;
    std::uint64_t t0_ = 0;
    std::uint32_t cnt_ = 0;
};

// ---- Entries ---------------------------------------------------------------------------------

enum class Kind { plain, file, bin, hex, dec, fix, time };

class Entry {
public:
    // Decides the kind of text and, for a range, its bounds and item count. Errors of
    // reading the bounds are cleared; only a failed allocation stays pending.
    void classify(const char* text) {
        text_ = text;
        kind_ = Kind::plain;
        cnt_ = 1;
        lower_.reset(nullptr);
        upper_ = nullptr;
        if (BF_MT(text, "FILE:", 65535, 0, 1, 0)) {
            kind_ = Kind::file;
            return;
        }
        const char* dots = std::strstr(text, "...");
        if (!dots) return;
        lower_.reset(lb_cp_part(text, static_cast<std::size_t>(dots - text)));
        if (err_) return;
        upper_ = dots + 3;
        if (!range()) {
            kind_ = Kind::plain;
            cnt_ = 1;
        }
    }

    Kind kind() const { return kind_; }
    bool is_range() const { return kind_ != Kind::plain && kind_ != Kind::file; }
    const char* text() const { return text_; }
    const char* fnam() const { return text_ + 5; }
    const char* upper() const { return upper_; }
    // Items of a plain entry or a range.
    std::uint32_t cnt() const { return cnt_; }

    // Item k of a plain entry or a range (k below cnt()); a temporary text for a range.
    const char* item(std::uint32_t k) const {
        switch (kind_) {
            case Kind::bin:
            case Kind::hex:
            case Kind::dec: return int_text(lo_ + k);
            case Kind::fix: {
                char bf[64];
                std::snprintf(bf, sizeof bf, "%.*f", static_cast<int>(digits_),
                              static_cast<double>(lo_ + static_cast<std::int64_t>(k)) / scale_);
                return UT_S_CP(bf);
            }
            case Kind::time: {
                const std::size_t len = std::min<std::size_t>(tm_sample_len(time_.fmt()), 65535);
                char* out = UT_AL(static_cast<std::uint32_t>(len));
                if (out) tm_sample_put(time_.fmt(), time_.at(k), out, len + 1);
                return out;
            }
            default: return text_;
        }
    }

    // The last item of a range, or null when it has none. An integer range from 0 to
    // 4294967295 has one item more than a count can hold, so its end is taken from the bound.
    const char* last_item() const {
        if (!cnt_) return nullptr;
        if (kind_ == Kind::bin || kind_ == Kind::hex || kind_ == Kind::dec) return int_text(hi_);
        return item(cnt_ - 1);
    }

    // Offset in a range of the item text stands for, or -1 (flag: letter case counts).
    std::int64_t find(const char* text, char flag) const {
        std::int64_t t = 0;
        switch (kind_) {
            case Kind::bin:
                if (!quietly([&] { t = S2_U4(text, nullptr, 0, 'B'); })) return -1;
                break;
            case Kind::hex:
                if (!quietly([&] { t = S16_U4(text, nullptr, 0, 'X'); })) return -1;
                break;
            case Kind::dec:
                if (!quietly([&] { t = S10_I4(text, nullptr, 0); })) return -1;
                break;
            case Kind::fix: {
                double v = 0;
                if (!quietly([&] { v = S_F8(text, nullptr); })) return -1;
                const double scaled = v * scale_;
                if (!(scaled >= static_cast<double>(lo_) - fix_eps && scaled <= hi_scaled_ + fix_eps)) return -1;
                const auto off = static_cast<std::int64_t>(std::floor(scaled - static_cast<double>(lo_) + fix_eps));
                return off < cnt_ ? off : -1;
            }
            case Kind::time: return find_time(text, flag);
            default: return -1;
        }
        return t >= lo_ && t <= hi_ ? t - lo_ : -1;
    }

private:
    const char* int_text(std::int64_t v) const {
        switch (kind_) {
            case Kind::bin: return V_S2(static_cast<std::uint32_t>(v), width_, prefix_ ? "B" : nullptr);
            case Kind::hex: {
                char fmt[16];
                std::snprintf(fmt, sizeof fmt, "%%0%ulx", static_cast<unsigned>(width_ - 1));
                return V_S16(static_cast<std::uint32_t>(v), fmt, prefix_ ? "X" : nullptr);
            }
            default: return V_S10(static_cast<std::int32_t>(v), nullptr, 0);
        }
    }

    bool range() {
        const char* lo = lower_.get();
        if (lo[0] == 'B' || lo[0] == 'b') return radix_range(Kind::bin, 'B', 32);
        if (lo[0] == 'X' || lo[0] == 'x') return radix_range(Kind::hex, 'X', 8);
        std::int32_t l = 0, h = 2147483647;
        if (quietly([&] { l = S10_I4(lo, nullptr, 0); }) &&
            (!*upper_ || quietly([&] { h = S10_I4(upper_, nullptr, 0); }))) {
            set_int(Kind::dec, l, h);
            return true;
        }
        if (fix_range()) return true;
        if (time_.set(lo, upper_)) {
            kind_ = Kind::time;
            cnt_ = time_.cnt();
            return true;
        }
        return false;
    }

    // Binary and hexadecimal bounds carry their prefix letter; an open end is the largest
    // 32-bit value. Items are as wide as the upper bound's text.
    bool radix_range(Kind kind, char lead, std::uint16_t open_width) {
        const bool bin = kind == Kind::bin;
        auto read = [&](const char* s, std::uint32_t& v) {
            return quietly([&] { v = bin ? S2_U4(s, nullptr, 0, lead) : S16_U4(s, nullptr, 0, lead); });
        };
        std::uint32_t l = 0, h = u4_max;
        if (!read(lower_.get(), l)) return false;
        if (*upper_ && !read(upper_, h)) return false;
        const std::size_t w = *upper_ ? std::strlen(upper_) : open_width;
        width_ = static_cast<std::uint16_t>(std::min<std::size_t>(w, 65535));
        prefix_ = lower_.get()[0] == lead;
        set_int(kind, l, h);
        return true;
    }

    void set_int(Kind kind, std::int64_t l, std::int64_t h) {
        kind_ = kind;
        lo_ = l;
        hi_ = h;
        cnt_ = sat_u4(h - l + 1);
    }

    // Bounds with a fraction: the lower bound's digits after the "." set the step.
    bool fix_range() {
        const char* lo = lower_.get();
        const char* dot = std::strchr(lo, '.');
        if (!dot || c_v[static_cast<unsigned char>(dot[1])] >= 10 || !std::strchr(upper_, '.')) return false;
        const std::size_t digits = std::strspn(dot + 1, "0123456789");
        if (digits > fix_digits_mx) return false;
        double l = 0, h = 0;
        if (!quietly([&] { l = S_F8(lo, nullptr); }) || !quietly([&] { h = S_F8(upper_, nullptr); })) return false;
        const double scale = std::pow(10.0, static_cast<double>(digits));
        if (!(std::fabs(l * scale) < fix_scaled_mx && std::fabs(h * scale) < fix_scaled_mx)) return false;
        kind_ = Kind::fix;
        digits_ = static_cast<unsigned>(digits);
        scale_ = scale;
        lo_ = std::llround(l * scale);
        hi_scaled_ = h * scale;
        const double steps = std::floor(hi_scaled_ - static_cast<double>(lo_) + fix_eps);
        cnt_ = steps < 0 ? 0 : sat_u4(static_cast<std::int64_t>(steps) + 1);
        return true;
    }

    // Compares every value of the time range, written like the lower bound, with text.
    std::int64_t find_time(const char* text, char flag) const {
        UTMDF r = time_.at(0);
        for (std::uint32_t k = 0; k < cnt_; ++k) {
            if (k) time_.step(r);
            if (tm_sample_mt(time_.fmt(), r, text, flag)) return k;
        }
        return -1;
    }

    const char* text_ = nullptr;
    Kind kind_ = Kind::plain;
    std::uint32_t cnt_ = 1;
    LbOwned lower_;
    const char* upper_ = nullptr;
    std::int64_t lo_ = 0, hi_ = 0;  // bin, hex, dec: the bounds; fix: lower bound in steps
    std::uint16_t width_ = 0;
    bool prefix_ = false;
    unsigned digits_ = 0;
    double scale_ = 1;
    double hi_scaled_ = 0;
    TimeRange time_;
};

// Lines of a file entry as the line reader delivers them (LF, CR LF or a lone CR ends a
// line; a last line without an end counts), read in blocks. An unreadable file has none.
std::uint32_t file_lines(const char* fnam, const char* rtn) {
    FLDF* fd = FL_OP(fnam, 0, 0, 0, nullptr);
    if (err_) {
        drop_error(rtn);
        return 0;
    }
    char bf[line_cnt_bf_sz];
    std::int64_t lines = 0;
    bool open_line = false, after_cr = false;
    for (;;) {
        const std::uint32_t n = FL_BF(fd, bf, line_cnt_bf_sz, 0);
        if (n == u4_max || n == 0 || err_) break;
        for (std::uint32_t i = 0; i < n; ++i) {
            const char c = bf[i];
            if (c == '\n') {
                if (!after_cr) ++lines;
                after_cr = open_line = false;
            } else if (c == '\r') {
                ++lines;
                after_cr = true;
                open_line = false;
            } else {
                after_cr = false;
                open_line = true;
            }
        }
    }
    if (err_) drop_error(rtn);
    FL_CL(fd, 1);
    return sat_u4(lines + (open_line ? 1 : 0));
}

// ---- Enumeration -----------------------------------------------------------------------------

// Walks the items of a list; after an item it can go on to the next one in one step.
class Cursor {
public:
    explicit Cursor(const char* rtn) : rtn_(rtn) {}
    ~Cursor() { close(); }
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    void close() {
        if (rfp_) FL_CL(rfp_, 1);
        rfp_ = nullptr;
    }

    // Item index of list, from its start.
    const char* seek(const char* const* list, std::uint32_t index) {
        close();
        list_ = list;
        return list ? walk(0, index) : nullptr;
    }

    // The item after the one last returned.
    const char* next() {
        if (!list_) return nullptr;
        if (entry_.kind() == Kind::file) {
            if (rfp_) {
                const char* line = read_line();
                if (line) return UT_S_CP(line);
                close();
                if (err_) return nullptr;
            }
        } else if (entry_.is_range() && k_ + 1 < entry_.cnt()) {
            ++k_;
            return entry_.item(k_);
        }
        return walk(e_ + 1, 0);
    }

    const char* const* list() const { return list_; }

private:
    const char* walk(std::size_t e, std::uint32_t skip) {
        for (; list_[e]; ++e) {
            entry_.classify(list_[e]);
            if (err_) return nullptr;
            e_ = e;
            if (entry_.kind() == Kind::file) {
                rfp_ = FL_OP(entry_.fnam(), 0, 0, 0, nullptr);
                if (err_) {
                    rfp_ = nullptr;
                    drop_error(rtn_);
                    continue;
                }
                for (std::uint32_t k = 0;; ++k) {
                    const char* line = read_line();
                    if (!line) {
                        close();
                        if (err_) return nullptr;
                        skip -= k;
                        break;
                    }
                    if (k == skip) {
                        k_ = k;
                        return UT_S_CP(line);
                    }
                }
                continue;
            }
            if (skip < entry_.cnt()) {
                k_ = skip;
                return entry_.item(skip);
            }
            skip -= entry_.cnt();
        }
        return nullptr;
    }

    // The next line of the open file entry; null at its end or when it cannot be read on.
    const char* read_line() {
        const char* line = FL_S(rfp_, 0);
        if (!line && err_) drop_error(rtn_);
        return line;
    }

    const char* rtn_;
    const char* const* list_ = nullptr;
    Entry entry_;
    std::size_t e_ = 0;      // entry of the item last returned
    std::uint32_t k_ = 0;    // its item within the entry
    FLDF* rfp_ = nullptr;    // reader of the current file entry
};

// The cache of CL_T: the list and index of the last call and where that item was found.
struct ClTCache {
    Cursor cursor{"CL_T"};
    bool valid = false;
    std::uint32_t index = 0;

    void reset() {
        cursor.close();
        valid = false;
        index = 0;
    }
};

ClTCache& cl_t_cache() {
    static ClTCache cache;
    return cache;
}

}  // namespace

std::uint32_t CL_CNT(const char* const* list) {
    static const char rtn[] = "CL_CNT";
    if (err_ || !list) return 0;
    Entry e;
    std::int64_t total = 0;
    for (std::size_t i = 0; list[i]; ++i) {
        e.classify(list[i]);
        if (RTN_ERR(rtn)) return 0;
        total += e.kind() == Kind::file ? file_lines(e.fnam(), rtn) : e.cnt();
        if (RTN_ERR(rtn)) return 0;
        if (total >= u4_max) return u4_max;
    }
    return sat_u4(total);
}

const char* CL_T(const char* const* list, std::uint32_t index, char must) {
    static const char rtn[] = "CL_T";
    if (err_) return nullptr;
    ClTCache& c = cl_t_cache();
    const char* item = nullptr;
    if (list && c.valid && c.cursor.list() == list && index != 0 && index - 1 == c.index)
        item = c.cursor.next();
    else
        item = c.cursor.seek(list, index);
    if (RTN_ERR(rtn)) {
        c.reset();
        return nullptr;
    }
    if (!item) {
        c.reset();
        if (must) SM_ERR(Dec(index).text, " is undefined index", nullptr);
        return nullptr;
    }
    c.valid = true;
    c.index = index;
    return item;
}

const char* CL_T0(const char* const* list, std::uint32_t index) {
    const char* item = CL_T(list, index, 0);
    if (item || err_) return item;
    return UT_SM_CP("?(", Dec(index).text, ")", nullptr);
}

void CL_T_RESET() { cl_t_cache().reset(); }

std::int32_t CL_X(const char* const* list, const char* text, char must, char flag) {
    static const char rtn[] = "CL_X";
    if (err_) return -1;
    if (!text || !list) {
        if (must) SM_ERR(rtn, text ? ":cl=NULL" : ":txt=NULL", nullptr);
        return -1;
    }
    Entry e;
    std::int64_t ix = 0;
    for (std::size_t i = 0; list[i]; ++i) {
        if (ix > i4_max) return -1;
        e.classify(list[i]);
        if (RTN_ERR(rtn)) return -1;
        if (e.kind() == Kind::file) {
            FLDF* fd = FL_OP(e.fnam(), 0, 0, 0, nullptr);
            if (err_) {
                drop_error(rtn);
                continue;
            }
            for (;;) {
                const char* line = FL_S(fd, 0);
                if (!line) break;
                if (!std::strcmp(line, cl_any_txt) || S_MT(line, text, flag, 1, 0, 0)) {
                    FL_CL(fd, 1);
                    return ix > i4_max ? -1 : static_cast<std::int32_t>(ix);
                }
                ++ix;
            }
            if (err_) drop_error(rtn);
            FL_CL(fd, 1);
            continue;
        }
        if (e.kind() == Kind::plain) {
            if (!std::strcmp(e.text(), cl_any_txt) || S_MT(e.text(), text, flag, 1, 0, 0))
                return static_cast<std::int32_t>(ix);
            ++ix;
            continue;
        }
        const std::int64_t off = e.find(text, flag);
        if (RTN_ERR(rtn)) return -1;
        if (off >= 0) return ix + off > i4_max ? -1 : static_cast<std::int32_t>(ix + off);
        ix += e.cnt();
    }
    if (must) SM_ERR(qt_, text, qt_, " is undefined selection", nullptr);
    return -1;
}

const char* CL_LAST(const char* const* list, char must) {
    static const char rtn[] = "CL_LAST";
    if (err_) return nullptr;
    const char* last = nullptr;
    if (list && list[0]) {
        std::size_t n = 0;
        while (list[n]) ++n;
        Entry e;
        e.classify(list[n - 1]);
        if (RTN_ERR(rtn)) return nullptr;
        if (e.is_range() && *e.upper()) return e.upper();
        if (e.kind() == Kind::plain) return e.text();
        if (e.kind() == Kind::file) {
            // The line buffer is rewritten at the end of the file: keep a copy of each line.
            Cursor c(rtn);
            const char* const one[] = {e.text(), nullptr};
            for (const char* line = c.seek(one, 0); line; line = c.next()) last = line;
        } else {
            last = e.last_item();
        }
        if (RTN_ERR(rtn)) return nullptr;
    }
    if (!last && must) S_ERR("{last} is undefined index");
    return last;
}

void CL_FILE(const char* const* list, const char* fnam, char mode) {
    static const char rtn[] = "CL_FILE";
    if (err_) return;
    if (mode != 1 && mode != 2) {
        SM_ERR(rtn, ":mode=", V_S10(mode, nullptr, 0), nullptr);
        return;
    }
    FLDF* fd = FL_OP(fnam, mode, 0, 0, nullptr);
    if (RTN_ERR(rtn)) return;
    {
        Cursor c(rtn);
        for (const char* item = c.seek(list, 0); item && !err_; item = c.next()) S_FL(fd, item);
    }
    FL_CL(fd, 1);
    RTN_ERR(rtn);
}

std::int32_t CL_I4_MIN(const char* const* list, char strict) {
    static const char rtn[] = "CL_I4_MIN";
    if (err_) return static_cast<std::int32_t>(i4_max);
    Cursor c(rtn);
    const char* item = c.seek(list, 0);
    for (std::uint32_t k = 0; item && !err_; ++k) {
        const std::int32_t v = S10_I4(item, nullptr, 1);
        if (!err_) return v;
        if (strict) return static_cast<std::int32_t>(i4_max);
        ERR_S();
        if (k + 1 == i4_scan_cnt) break;
        item = c.next();
    }
    RTN_ERR(rtn);
    return static_cast<std::int32_t>(i4_max);
}

std::int32_t CL_I4_MAX(const char* const* list, char strict) {
    static const char rtn[] = "CL_I4_MAX";
    if (err_) return static_cast<std::int32_t>(i4_min);
    const std::uint32_t cnt = CL_CNT(list);
    Cursor c(rtn);
    for (std::uint32_t k = cnt; k > 0 && cnt - k < i4_scan_cnt && !err_; --k) {
        const char* item = c.seek(list, k - 1);
        if (!item) continue;
        const std::int32_t v = S10_I4(item, nullptr, 1);
        if (!err_) return v;
        if (strict) return static_cast<std::int32_t>(i4_min);
        ERR_S();
    }
    RTN_ERR(rtn);
    return static_cast<std::int32_t>(i4_min);
}

void CL_SORT(char** list) {
    static const char rtn[] = "CL_SORT";
    if (err_ || !list) return;
    std::size_t n = 0;
    for (; list[n]; ++n) {
        if (std::strstr(list[n], "...")) {
            SM_ERR(rtn, ":Sorts not supported for virtual lists", nullptr);
            return;
        }
    }
    // The order (letter case folded, ties by byte) is total, so any sort gives the one result.
    std::sort(list, list + n, [](const char* a, const char* b) { return !S_ORD(b, a, 0); });
}
