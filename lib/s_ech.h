// Display forms of bytes, "\x" escapes and hexadecimal dumps.
#ifndef LB_S_ECH_H
#define LB_S_ECH_H

#include "err_lb.h"

// Display string of each byte in messages: printable bytes as themselves, "<NUL>", "<BELL>",
// "<BS>", "<LF>", "<VT>", "<FF>", "<CR>", eight spaces for TAB, "<?>" for 255.
extern const char* const ch_ech[256];
// As ch_ech, but every control code by its name in angle brackets ("<TAB>", "<ESC>"...).
extern const char* const asc_ech[256];

// Results are temporary strings; "?" (not temporary, never to be changed) stands for
// "error pending" where noted.

// Bytes from pairs of hexadecimal digits; with high_end set, a byte of 128 or more is the
// last one and loses its top bit. "?" while an error is pending or for a bad pair.
char* ASC_HEX(const char* hex, char high_end);
// Copy of text with every "\x" escape of two hexadecimal digits turned into its byte;
// length (may be null) receives the result's length, as it may hold zero bytes.
// Returns text itself while an error is pending.
const char* BACKSLASH_X_BF(const char* text, std::uint16_t* length);
// count bytes of buffer with each byte outside 32..126 written as "\x" and two upper-case
// hexadecimal digits; count 65535 means the length of buffer as a string. Returns buffer
// itself while an error is pending.
const char* BF_BACKSLASH_X(const char* buffer, std::uint16_t count);
// Display form through ch_ech, tabs expanded to the next stop of 8; "?" while pending.
char* S_ECH(const char* text);
// Display form through asc_ech; "?" while an error is pending.
char* ASC_ECH(const char* text);
// Two upper-case hexadecimal digits per byte, single spaces between them when spaced is
// not 0; "?" while an error is pending.
char* HEX_ECH(const char* buffer, std::uint16_t count, char spaced);

#endif
