// Key names and the display form of one character.
#include "ch_echt.h"

#include <cstring>
#include <iterator>

#include "ech_own.h"
#include "mem_lb.h"
#include "s_ech.h"

namespace {

// Control keys, named after the letter typed with Ctrl.
constexpr const char* ctrl_names[32] = {
    "<Ctrl-@>", "<Ctrl-A>", "<Ctrl-B>", "<Ctrl-C>", "<Ctrl-D>", "<Ctrl-E>", "<Ctrl-F>", "<Ctrl-G>",
    "<BS>", "<Tab>", "<Ctrl-J>", "<Ctrl-K>", "<Ctrl-L>", "<Enter>", "<Ctrl-N>", "<Ctrl-O>",
    "<Ctrl-P>", "<Ctrl-Q>", "<Ctrl-R>", "<Ctrl-S>", "<Ctrl-T>", "<Ctrl-U>", "<Ctrl-V>", "<Ctrl-W>",
    "<Ctrl-X>", "<Ctrl-Y>", "<Ctrl-Z>", "<Esc>", "<Ctrl-\\>", "<Ctrl-]>", "<Ctrl-`>", "<Ctrl-->",
};

// Codes from 128 on: the extended keys in alphabetical order of their names, then the Alt
// combinations and the keypad. The Latin-1 characters after them name themselves.
constexpr int first_extended = 128;
constexpr const char* extended_names[] = {
    "<Ctrl-Dwn>", "<Ctrl-End>",
    "<Ctrl-F1>", "<Ctrl-F10>", "<Ctrl-F11>", "<Ctrl-F12>", "<Ctrl-F2>", "<Ctrl-F3>",
    "<Ctrl-F4>", "<Ctrl-F5>", "<Ctrl-F6>", "<Ctrl-F7>", "<Ctrl-F8>", "<Ctrl-F9>",
    "<Ctrl-Home>", "<Ctrl-Lft>", "<Ctrl-PageDown>", "<Ctrl-PageUp>", "<Ctrl-Rgt>", "<Ctrl-Up>",
    "<Delete>", "<Dwn>", "<End>",
    "<F1>", "<F10>", "<F11>", "<F12>", "<F2>", "<F3>", "<F4>", "<F5>", "<F6>", "<F7>", "<F8>",
    "<F9>",
    "<Home>", "<Insert>", "<Lft>", "<PageDown>", "<PageUp>", "<Rgt>", "<Shft-Tab>", "<Up>",
    "<Alt-0>", "<Alt-1>", "<Alt-2>", "<Alt-3>", "<Alt-4>", "<Alt-5>", "<Alt-6>", "<Alt-7>",
    "<Alt-8>", "<Alt-9>",
    "<Alt-A>", "<Alt-B>", "<Alt-C>", "<Alt-D>", "<Alt-E>", "<Alt-F>", "<Alt-G>", "<Alt-H>",
    "<Alt-I>", "<Alt-J>", "<Alt-K>", "<Alt-L>", "<Alt-M>", "<Alt-N>", "<Alt-O>", "<Alt-P>",
    "<Alt-Q>", "<Alt-R>", "<Alt-S>", "<Alt-T>", "<Alt-U>", "<Alt-V>", "<Alt-W>", "<Alt-X>",
    "<Alt-Y>", "<Alt-Z>",
    "<Alt-Up>", "<Alt-Dwn>", "<Alt-Lft>", "<Alt-Rgt>",
    "<KP:->", "<KP:+>", "<KP:Enter>",
};
constexpr int end_extended = first_extended + static_cast<int>(std::size(extended_names));
static_assert(end_extended == 214, "the Latin-1 characters start at 214");

constexpr const char* ky_entry(int c) {
    if (c < 32) return ctrl_names[c];
    if (c == ' ') return "<Space>";
    if (c == 127) return "<DEL>";
    if (c >= first_extended && c < end_extended) return extended_names[c - first_extended];
    return c == 255 ? ech_unknown : ech_self.text[c];
}

}  // namespace

constinit const char* const ky_ech[256] = {LB_ECH_256(ky_entry)};

namespace {

constexpr unsigned tab_w = 8;
// Longest display form: a whole tab stop, or the longest ch_ech entry ("<BELL>").
constexpr std::uint32_t echt_sz = 10;

}  // namespace

char* CH_ECHT(char ch, std::uint16_t column) {
    static const char rtn[] = "CH_ECHT";
    static char pending[2];
    if (err_) {
        // Rewritten on every use so that a caller who changed it cannot spoil the next one.
        pending[0] = '?';
        pending[1] = '\0';
        return pending;
    }
    char* res = UT_AL(echt_sz);
    if (RTN_ERR(rtn) || !res) return CH_ECHT(ch, column);  // now pending: the fixed "?"
    if (ch == '\t') {
        const unsigned n = tab_w - column % tab_w;
        std::memset(res, ' ', n);
        res[n] = '\0';
    } else {
        std::strcpy(res, ch_ech[static_cast<unsigned char>(ch)]);
    }
    return res;
}
