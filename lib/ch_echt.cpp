// Key names and the display form of one character.
#include "ch_echt.h"

#include <cstring>

#include "mem_lb.h"
#include "s_ech.h"

const char* const ky_ech[256] = {
    // 0-31: control keys, named after the letter typed with Ctrl
    "<Ctrl-@>", "<Ctrl-A>", "<Ctrl-B>", "<Ctrl-C>", "<Ctrl-D>", "<Ctrl-E>", "<Ctrl-F>", "<Ctrl-G>",
    "<BS>", "<Tab>", "<Ctrl-J>", "<Ctrl-K>", "<Ctrl-L>", "<Enter>", "<Ctrl-N>", "<Ctrl-O>",
    "<Ctrl-P>", "<Ctrl-Q>", "<Ctrl-R>", "<Ctrl-S>", "<Ctrl-T>", "<Ctrl-U>", "<Ctrl-V>", "<Ctrl-W>",
    "<Ctrl-X>", "<Ctrl-Y>", "<Ctrl-Z>", "<Esc>", "<Ctrl-\\>", "<Ctrl-]>", "<Ctrl-`>", "<Ctrl-->",
    // 32-127
    "<Space>", "!", "\"", "#", "$", "%", "&", "'",
    "(", ")", "*", "+", ",", "-", ".", "/",
    "0", "1", "2", "3", "4", "5", "6", "7",
    "8", "9", ":", ";", "<", "=", ">", "?",
    "@", "A", "B", "C", "D", "E", "F", "G",
    "H", "I", "J", "K", "L", "M", "N", "O",
    "P", "Q", "R", "S", "T", "U", "V", "W",
    "X", "Y", "Z", "[", "\\", "]", "^", "_",
    "`", "a", "b", "c", "d", "e", "f", "g",
    "h", "i", "j", "k", "l", "m", "n", "o",
    "p", "q", "r", "s", "t", "u", "v", "w",
    "x", "y", "z", "{", "|", "}", "~", "<DEL>",
    // 128-170: extended keys in alphabetical order of their names
    "<Ctrl-Dwn>", "<Ctrl-End>",
    "<Ctrl-F1>", "<Ctrl-F10>", "<Ctrl-F11>", "<Ctrl-F12>", "<Ctrl-F2>", "<Ctrl-F3>",
    "<Ctrl-F4>", "<Ctrl-F5>", "<Ctrl-F6>", "<Ctrl-F7>", "<Ctrl-F8>", "<Ctrl-F9>",
    "<Ctrl-Home>", "<Ctrl-Lft>", "<Ctrl-PageDown>", "<Ctrl-PageUp>", "<Ctrl-Rgt>", "<Ctrl-Up>",
    "<Delete>", "<Dwn>", "<End>",
    "<F1>", "<F10>", "<F11>", "<F12>", "<F2>", "<F3>", "<F4>", "<F5>", "<F6>", "<F7>", "<F8>",
    "<F9>",
    "<Home>", "<Insert>", "<Lft>", "<PageDown>", "<PageUp>", "<Rgt>", "<Shft-Tab>", "<Up>",
    // 171-213: Alt combinations and the keypad
    "<Alt-0>", "<Alt-1>", "<Alt-2>", "<Alt-3>", "<Alt-4>", "<Alt-5>", "<Alt-6>", "<Alt-7>",
    "<Alt-8>", "<Alt-9>",
    "<Alt-A>", "<Alt-B>", "<Alt-C>", "<Alt-D>", "<Alt-E>", "<Alt-F>", "<Alt-G>", "<Alt-H>",
    "<Alt-I>", "<Alt-J>", "<Alt-K>", "<Alt-L>", "<Alt-M>", "<Alt-N>", "<Alt-O>", "<Alt-P>",
    "<Alt-Q>", "<Alt-R>", "<Alt-S>", "<Alt-T>", "<Alt-U>", "<Alt-V>", "<Alt-W>", "<Alt-X>",
    "<Alt-Y>", "<Alt-Z>",
    "<Alt-Up>", "<Alt-Dwn>", "<Alt-Lft>", "<Alt-Rgt>",
    "<KP:->", "<KP:+>", "<KP:Enter>",
    // 214-254: Latin-1 characters as themselves
    "\xD6", "\xD7",
    "\xD8", "\xD9", "\xDA", "\xDB", "\xDC", "\xDD", "\xDE", "\xDF",
    "\xE0", "\xE1", "\xE2", "\xE3", "\xE4", "\xE5", "\xE6", "\xE7",
    "\xE8", "\xE9", "\xEA", "\xEB", "\xEC", "\xED", "\xEE", "\xEF",
    "\xF0", "\xF1", "\xF2", "\xF3", "\xF4", "\xF5", "\xF6", "\xF7",
    "\xF8", "\xF9", "\xFA", "\xFB", "\xFC", "\xFD", "\xFE",
    "<?>",
};

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
