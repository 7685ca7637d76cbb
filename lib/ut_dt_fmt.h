// Inside the library: a time sample cut into tokens and recognised once, so that many
// records can be written in its style. TM_S does this for one record; the string lists'
// time ranges do it once per range and write every item from it.
#ifndef LB_UT_DT_FMT_H
#define LB_UT_DT_FMT_H

#include <cstddef>
#include <cstdint>

#include "ut_dt.h"

// Both time routines cut their text into at most this many tokens; the last one takes the
// whole rest of the text.
inline constexpr std::size_t tm_tok_mxc = 30;

// What one piece of a sample stands for.
enum class TmPart : unsigned char {
    lit,        // the sample's own text, copied
    mon,        // month number (pad: two digits)
    day,        // day number (pad: two digits)
    year2,      // year modulo 100, two digits
    year4,      // year, at least four digits
    hour12,     // hour on the 12-hour clock (pad: two digits)
    hour24,     // hour on the 24-hour clock (pad: two digits)
    min,        // two digits
    sec,        // two digits
    msec,       // three digits
    mark1,      // "A" or "P"
    mark2,      // "AM" or "PM"
    year_full,  // "Year": the year without padding
    date,       // "Date": the day without padding
    dd,         // "dd": the day, two digits
    wday_name,  // weekday name, "?" when unknown
    mon_name,   // month name, "?" when unknown
};

struct TmPiece {
    TmPart part = TmPart::lit;
    bool pad = false;
    std::size_t off = 0;  // where the piece's text starts in the sample (lit pieces)
    std::size_t len = 0;
};

struct TmSample {
    const char* text = nullptr;  // the sample; not owned, must outlive the record
    std::size_t cnt = 0;
    bool recognised = false;  // at least one piece stands for a date or time field
    TmPiece pieces[tm_tok_mxc];
};

// Cuts the sample and decides what each token stands for. Raises nothing.
void tm_sample_cut(TmSample& s, const char* sample);
// Longest text tm_sample_put can write for any record, without the terminator.
std::size_t tm_sample_len(const TmSample& s);
// Writes rec in the sample's style into out (room bytes, terminator included; the text is
// cut to fit) and returns the length written.
std::size_t tm_sample_put(const TmSample& s, const UTMDF& rec, char* out, std::size_t room);
// Whether rec written in the sample's style is text, as S_MT with literal flag 1 and no
// wild or group character compares (cs not 0: letter case counts). Stops at the first
// character that differs, without writing the rest.
char tm_sample_mt(const TmSample& s, const UTMDF& rec, const char* text, char cs);

#endif
