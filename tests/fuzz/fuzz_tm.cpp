// Time texts: free-form reading (S_TM, lax and strict) and formatting by example (TM_S), the
// whole input being the text or the sample.
//
// What must hold: reading either finds fields within their ranges or raises one of its two
// messages; a strict reading that succeeds finds what a lax one finds; a sample writes any
// record (unknown fields and values out of range included) within the length it announces,
// writes a sample without date or time parts unchanged, and the matcher of the string lists
// accepts exactly what the writer wrote.
#include <string>

#include "fuzz_support.h"
#include "ut_dt_fmt.h"

namespace {

constexpr UTMDF records[] = {
    {2026, 3, 7, 7, 15, 4, 5, 678},                // an afternoon
    {1999, 12, 31, 6, 0, 0, 0, 0},                 // midnight, the 12-hour clock's 12
    {65535, 255, 255, 255, 255, 255, 255, 65535},  // all unknown
    {9, 13, 40, 0, 24, 60, 61, 1000},              // every field out of range
};

bool equal(const UTMDF& a, const UTMDF& b) {
    return a.year == b.year && a.mon == b.mon && a.day == b.day && a.wday == b.wday && a.hour == b.hour &&
           a.min == b.min && a.sec == b.sec && a.msec == b.msec;
}

// A field is unknown or within its range.
void check_fields(const UTMDF& r, const char* text) {
    const auto in = [](unsigned v, unsigned lo, unsigned hi, unsigned unknown) {
        return v == unknown || (v >= lo && v <= hi);
    };
    if (!in(r.mon, 1, 12, 255) || !in(r.day, 1, 31, 255) || !in(r.wday, 1, 7, 255) ||
        !in(r.hour, 0, 23, 255) || !in(r.min, 0, 59, 255) || !in(r.sec, 0, 59, 255) ||
        !in(r.msec, 0, 999, 65535))
        fuzz::fail("S_TM read \"%s\" as %u-%u-%u wday %u %u:%u:%u.%u", text, r.year, r.mon, r.day, r.wday,
                   r.hour, r.min, r.sec, r.msec);
}

// Reads text; false when it raised, with the message checked.
bool read(const char* text, char strict, UTMDF& out) {
    S_TM(text, &out, 0, strict);
    if (!err_) {
        check_fields(out, text);
        return true;
    }
    const std::string why = fuzz::take_error();
    const bool known = why == "No time found" || (strict && why.rfind("Unexp time text \"", 0) == 0);
    if (!known) fuzz::fail("S_TM (strict %d) raised \"%s\"", strict, why.c_str());
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::clear_error();
    const fuzz::Bytes bytes(data, size, true);
    const char* text = bytes.get();

    UTMDF lax{}, strict{};
    const bool lax_ok = read(text, 0, lax);
    if (read(text, 1, strict) && (!lax_ok || !equal(lax, strict)))
        fuzz::fail("strict reading found what lax reading did not");

    TmSample s;
    tm_sample_cut(s, text);
    const std::size_t most = tm_sample_len(s);
    for (const UTMDF& rec : records) {
        const char* out = TM_S(&rec, text);
        if (err_) fuzz::fail("TM_S raised \"%s\"", fuzz::take_error().c_str());
        const std::size_t len = std::strlen(out);
        if (len > most) fuzz::fail("TM_S wrote %zu characters, announced %zu", len, most);
        if (!s.recognised && std::strcmp(out, text) != 0) fuzz::fail("TM_S changed a sample without fields");
        if (len < 65535 && !tm_sample_mt(s, rec, out, 1)) fuzz::fail("the matcher refuses \"%s\"", out);
        // One character more or less is no longer what the sample writes.
        std::string longer = std::string(out) + "x";
        if (tm_sample_mt(s, rec, longer.c_str(), 1)) fuzz::fail("the matcher accepts a longer text");
        if (len && tm_sample_mt(s, rec, std::string(out, len - 1).c_str(), 1))
            fuzz::fail("the matcher accepts a shorter text");
    }
    fuzz::clear_error();
    return 0;
}
