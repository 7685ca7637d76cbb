// XML tag extraction: a tolerant scanner that flattens elements into "path<TAB>text" lines
// of a text file, in document order.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "cnv_lb.h"
#include "fl_lb.h"
#include "fl_lb_own.h"
#include "fnd_lb.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "rm_trl.h"
#include "s_mt.h"

namespace {

constexpr char xml_wrk[] = "xml_tag_wrk.tmp";

// Deeper nesting is taken for a runaway scan of unbalanced tags rather than real structure.
constexpr std::uint16_t xml_depth_mx = 50;

// Work-file lines start with a key that sorts them into document order. Below this the key
// is the number in three digits; from it on, "~" (after every digit) and ten digits, so that
// the text order of the keys stays their numeric order for any number of lines.
constexpr std::uint32_t seq_short_end = 1000;

constexpr std::size_t npos = std::string_view::npos;

// Shared by the recursive calls of one top-level call. The position is a size_t so that
// stepping past the end of a buffer of 4294967295 bytes cannot wrap round to its start.
std::size_t b = 0;          // scan position
std::uint16_t callcnt = 0;  // nesting depth of the current call, 1 at the top level
std::uint32_t tagcnt = 0;   // lines written so far

// Whether the buffer holds s at p, letters in either case; never looks past the buffer.
bool at(std::string_view bf, std::size_t p, std::string_view s) {
    if (p > bf.size() || bf.size() - p < s.size()) return false;
    // s is a terminated text, so the "whole pattern" count serves for long ones.
    const auto count = static_cast<std::uint16_t>(std::min<std::size_t>(s.size(), 65535));
    return BF_MT(bf.data() + p, s.data(), count, 0, 1, 0) != 0;
}

// Where b goes when what it looks for is missing: the end of the buffer.
std::size_t or_end(std::size_t p, std::string_view bf) { return p == npos ? bf.size() : p; }

// The tag name of a start tag's inside: leading blanks skipped, cut at the first blank
// (any white space: attributes may follow on the next line).
std::string_view tag_name(std::string_view inside) {
    std::size_t s = 0;
    while (s < inside.size() && (inside[s] == ' ' || inside[s] == '\t')) ++s;
    std::size_t e = s;
    while (e < inside.size() && !std::strchr(" \t\r\n", inside[e])) ++e;  // NUL stops too
    return inside.substr(s, e - s);
}

// Line breaks become spaces, then the entities are decoded in this order ("&amp;lt;" thus
// stays "&lt;"), then blanks are trimmed. The result is temporary.
char* element_text(const char* raw) {
    static const char* const rpl[][2] = {{"\r\n", " "}, {"\r", " "},   {"\n", " "},
                                         {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"},
                                         {"&apos;", "'"}, {"&quot;", "\""}};
    const char* text = raw;
    for (const auto& r : rpl) {
        text = UT_C_TXT(text, r[0], r[1], 1, 0);
        if (err_) return nullptr;
    }
    char* out = const_cast<char*>(text);
    RM_LEAD(out);
    RM_TRL(out);
    return out;
}

// One element whose start tag begins at b. False when the start tag has no ">", which ends
// the scan. Failures stay pending for the top level, which adds the one trail.
bool element(std::string_view bf, const char* tag, const char* fnam) {
    // Taken here rather than once per call: the top level handles several elements in turn.
    // A parent keeps the number it had before its children wrote, and its path sorts before
    // theirs, so it comes out first.
    const std::uint32_t seq = tagcnt;
    const std::size_t gt = bf.find('>', b + 1);
    if (gt == npos) return false;
    if (bf[gt - 1] == '/') return true;  // empty element

    const std::string_view name = tag_name(bf.substr(b + 1, gt - b - 1));
    LbOwned nm(lb_cp_part(name));
    if (err_) return true;
    LbOwned path(tag ? SM_CP(tag, ":", nm.get()) : S_CP(nm.get()));
    LbOwned end_tag(SM_CP("</", nm.get(), ">"));
    if (err_) return true;
    const std::string_view end(end_tag.get());

    // Every construct inside starts with "<", and so does the end tag.
    b = gt + 1;
    while (b < bf.size()) {
        b = or_end(bf.find('<', b), bf);
        if (b >= bf.size() || at(bf, b, end)) break;
        XML_TAG(bf.data(), static_cast<std::uint32_t>(bf.size()), path.get(), fnam);
        if (err_) return true;
        ++b;
    }

    // Only the text before the first child counts.
    const std::size_t text_end = std::min(or_end(bf.find('<', gt + 1), bf), b);
    LbOwned raw(lb_cp_part(bf.substr(gt + 1, text_end - (gt + 1))));
    if (err_) return true;
    const char* text = element_text(raw.get());
    if (err_ || !*text) return true;
    const bool short_key = seq < seq_short_end;
    const char* key = V_S10(static_cast<std::int32_t>(seq), short_key ? "%03ld" : "%010ld", 0);
    SM_FILE(xml_wrk, short_key ? "" : "~", key, "\t", path.get(), "\t", text, nullptr);
    if (err_) return true;
    ++tagcnt;
    return true;
}

// Sorts the work file into document order and copies its lines, keys cut off, to fnam. Runs
// after a failure too, so that fnam holds what was found before it.
void write_result(const char* fnam) {
    const bool failed = err_;
    if (failed) PSH_ERR();
    FlRecord out(fnam, 1);
    if (!err_ && FILE_OK(xml_wrk, 0)) {
        FILE_SORT(xml_wrk, 0, 0, 0, 0);
        FlRecord in(xml_wrk, 0);
        while (!err_) {
            const char* line = FL_S(in.get(), 0);
            if (!line) break;
            const char* tab = std::strchr(line, '\t');
            S_FL(out.get(), tab ? tab + 1 : line);
        }
    }
    out.close();
    FILE_DL(xml_wrk, 0);
    if (failed) POP_ERR();
}

}  // namespace

std::uint16_t XML_TAG(const char* bf, std::uint32_t n, const char* tag, const char* fnam) {
    static const char rtn[] = "XML_TAG";
    if (err_) return 0;
    if (!fnam) {
        SM_ERR(rtn, ":fnam=0");
        return 0;
    }
    if (!*fnam) {
        SM_ERR(rtn, ":fnam=(empty)");
        return 0;
    }
    const std::string_view buf(bf ? bf : "", bf ? n : 0);

    if (!tag) {
        FILE_DL(xml_wrk, 0);
        FILE_DL(fnam, 0);
        b = 0;
        callcnt = 1;
        tagcnt = 0;
    } else if (++callcnt > xml_depth_mx) {
        S_ERR("Infinite recursion suspected [XML_TAG]");
        --callcnt;
        return 0;
    }

    // A nested call handles the one construct at b and returns; the top level goes on.
    while (b < buf.size() && !err_) {
        b = or_end(buf.find('<', b), buf);
        if (b >= buf.size()) break;
        bool scan_on = true;
        if (at(buf, b, "<>")) {
            // nothing inside
        } else if (at(buf, b, "</")) {
            b = or_end(buf.find('>', b), buf);
        } else if (at(buf, b, "<!--")) {
            const std::size_t e = buf.find("-->", b + 4);
            b = e == npos ? buf.size() : e + 2;
        } else if (at(buf, b, "<![CDATA[")) {
            const std::size_t e = buf.find("]]>", b + 9);
            b = e == npos ? buf.size() : e + 2;
        } else if (at(buf, b, "<?") || at(buf, b, "<!") || at(buf, b, "<rss version")) {
            b = or_end(buf.find('>', b), buf);
        } else {
            scan_on = element(buf, tag, fnam);
        }
        if (tag) {
            // No ">" after this start tag means none after any later one either: nothing
            // further can close, so the enclosing scans may stop too.
            if (!scan_on) b = buf.size();
            --callcnt;
            return 0;
        }
        if (!scan_on) break;
        ++b;
    }
    if (tag) {
        --callcnt;
        return 0;
    }

    write_result(fnam);
    --callcnt;
    if (RTN_ERR(rtn)) return 0;
    return static_cast<std::uint16_t>(std::min<std::uint32_t>(tagcnt, 65535));
}
