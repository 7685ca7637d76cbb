// Key names and control-key display.
#ifndef LB_CH_ECHT_H
#define LB_CH_ECHT_H

#include "err_lb.h"

// Key codes of the extended keys the keyboard turns escape sequences into. Codes 128 to 170
// follow the alphabetical order of their names, so the function keys are not contiguous.
inline constexpr unsigned char ky_delete = 148;
inline constexpr unsigned char ky_dwn = 149;
inline constexpr unsigned char ky_end = 150;
inline constexpr unsigned char ky_f1 = 151;
inline constexpr unsigned char ky_f10 = 152;
inline constexpr unsigned char ky_f11 = 153;
inline constexpr unsigned char ky_f12 = 154;
inline constexpr unsigned char ky_f2 = 155;  // F2 to F9 are 155 to 162
inline constexpr unsigned char ky_home = 163;
inline constexpr unsigned char ky_insert = 164;
inline constexpr unsigned char ky_lft = 165;
inline constexpr unsigned char ky_pgdn = 166;
inline constexpr unsigned char ky_pgup = 167;
inline constexpr unsigned char ky_rgt = 168;
inline constexpr unsigned char ky_shft_tab = 169;
inline constexpr unsigned char ky_up = 170;

// Display name of each key code ("<Ctrl-A>", "<F1>", "<Alt-X>", "a", "<DEL>"...).
extern const char* const ky_ech[256];

// Display form of ch through ch_ech as a temporary string; a tab becomes the spaces from
// column up to the next stop of 8 (one to eight). "?" (not temporary) while an error is
// pending.
char* CH_ECHT(char ch, std::uint16_t column);

#endif
