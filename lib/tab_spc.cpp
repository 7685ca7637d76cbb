// Tab expansion and compression.
#include "tab_spc.h"

#include <cstring>

#include "mem_lb.h"
#include "s_s.h"

namespace {

constexpr std::uint16_t tab_w = 8;
// Longest expansion: what fits a 65,535-byte work block with its terminator.
constexpr std::size_t tab_spc_mxsz = 65534;

}  // namespace

char* TAB_SPC(const char* text) {
    static const char rtn[] = "TAB_SPC";
    static char unknown[2];
    unknown[0] = '?';
    unknown[1] = 0;
    if (err_) return unknown;
    if (!text) text = "";

    // Measure first so the temporary block is just as large as the result; segments
    // between tabs are handled as blocks.
    std::size_t out = 0;
    for (const char* p = text;;) {
        std::size_t seg = std::strcspn(p, "\t");
        out += seg;
        if (out >= tab_spc_mxsz || !p[seg]) break;
        out += tab_w - out % tab_w;
        p += seg + 1;
    }
    if (out > tab_spc_mxsz) out = tab_spc_mxsz;

    char* res = UT_AL(static_cast<std::uint32_t>(out));
    if (RTN_ERR(rtn) || !res) return unknown;
    std::size_t o = 0;
    for (const char* p = text; o < out;) {
        std::size_t seg = std::strcspn(p, "\t");
        if (seg > out - o) seg = out - o;
        std::memcpy(res + o, p, seg);
        o += seg;
        if (o >= out || !p[seg]) break;
        std::size_t spaces = tab_w - o % tab_w;
        if (spaces > out - o) spaces = out - o;
        std::memset(res + o, ' ', spaces);
        o += spaces;
        p += seg + 1;
    }
    res[o] = 0;
    return res;
}

void SPC_TAB(char* text, std::uint16_t column) {
    static const char rtn[] = "SPC_TAB";
    if (err_ || !text) return;
    std::size_t col = 0;  // display column of position i
    std::size_t i = 0;
    std::size_t s = 0;
    bool run = false;  // a run of spaces is open from position s
    for (;;) {
        if (run && col % tab_w == 0 && (column == 65535 || col == column)) {
            // Enough tabs to reach this stop from where the run began.
            std::size_t tabs = (i - s + tab_w - 1) / tab_w;
            // Move the rest first: if it does not fit a record the text stays as it was.
            S_S(text + i, text + s + tabs, 0);
            if (RTN_ERR(rtn)) return;
            std::memset(text + s, '\t', tabs);
            i = s + tabs;
            run = false;
        }
        char c = text[i];
        if (!c) break;
        if (c == '\t') {
            col += tab_w - col % tab_w;
            run = false;
        } else if (c == ' ') {
            if (!run) {
                run = true;
                s = i;
            }
            ++col;
        } else {
            ++col;
            run = false;
        }
        ++i;
    }
}
