// Text to number with strict diagnostics, and numbers to temporary text.
#ifndef LB_CNV_LB_H
#define LB_CNV_LB_H

#include "err_lb.h"

// ---- Character tables ---------------------------------------------------------------------

// Digit value of each character code: "0"-"9" 0..9, "A"-"Z" and "a"-"z" 10..35, else 255.
// A character is a digit of radix r when its value is below r, alphanumeric when not 255.
extern const unsigned char c_v[256];
// Digit value to upper-case digit, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ" (36 used).
extern const char v_c[37];

// ---- Text to number -------------------------------------------------------------------------
//
// pos (may be null) receives 65535 on entry, 0 when no digits are found, else the index of
// the character where a syntax or range error was found; it stays 65535 on success.
// mode: 0 only blanks may follow the number; 1 the number ends at the first
// non-alphanumeric character; 2 or more it ends at the first non-digit of the radix.
// lead: 0, or a prefix letter in upper case that must precede the digits ("X", "B").
// Every failure raises one message and returns 0.

std::int32_t S10_I4(const char* text, std::uint16_t* pos, char mode);
std::uint32_t S10_U4(const char* text, std::uint16_t* pos, char mode);  // 0..2147483647
std::uint64_t S10_U8(const char* text, std::uint16_t* pos, char mode);  // 0..9223372036854775807
std::uint32_t S16_U4(const char* text, std::uint16_t* pos, char mode, char lead);
std::uint32_t S8_U4(const char* text, std::uint16_t* pos, char mode, char lead);
std::uint32_t S2_U4(const char* text, std::uint16_t* pos, char mode, char lead);

unsigned char S10_U1(const char* text, std::uint16_t* pos, char mode);
std::uint16_t S10_U2(const char* text, std::uint16_t* pos, char mode);
std::int16_t S10_I2(const char* text, std::uint16_t* pos, char mode);
unsigned char S8_U1(const char* text, std::uint16_t* pos, char mode, char lead);
std::uint16_t S8_U2(const char* text, std::uint16_t* pos, char mode, char lead);
unsigned char S2_U1(const char* text, std::uint16_t* pos, char mode, char lead);
std::uint16_t S2_U2(const char* text, std::uint16_t* pos, char mode, char lead);
unsigned char S16_U1(const char* text, std::uint16_t* pos, char mode, char lead);
std::uint16_t S16_U2(const char* text, std::uint16_t* pos, char mode, char lead);

// Floating point: digits, signs, ".", "E"/"e" (and spaces for S_F4), read with sscanf.
float S_F4(const char* text, std::uint16_t* pos);
double S_F8(const char* text, std::uint16_t* pos);

// 1 if text converts (mode 0), else 0; a failure's error is fetched and cleared.
char S10_U1_OK(const char* text);
char S10_U2_OK(const char* text);
char S10_I2_OK(const char* text);
char S10_U4_OK(const char* text);
char S10_I4_OK(const char* text);
char S10_U8_OK(const char* text);
char S_F8_OK(const char* text);

// ---- Number to text -------------------------------------------------------------------------
//
// Results are temporary strings. The integer forms are produced even while an error is
// pending (messages are composed with them) and leave that error as it was. Formatted text
// is cut to 99 characters; a format that could not take the one number safely (a second
// conversion, "*", "%n", "%s"...) is replaced by the default one.

// Decimal; format null means "%ld", commas not 0 groups the digits by three.
char* V_S10(std::int32_t value, const char* format, char commas);
// The same for 64 bits; format null means "%lu", and a conversion without "l" or "ll"
// (which would take only part of the number) counts as one that could not take it.
char* V8_S10(std::uint64_t value, const char* format, char commas);
// prefix (may be null) then value by format, or lower-case hexadecimal / octal by default.
char* V_S16(std::uint32_t value, const char* format, const char* prefix);
char* V_S8(std::uint32_t value, const char* format, const char* prefix);
// prefix, then binary digits zero-filled up to a total length of width.
char* V_S2(std::uint32_t value, std::uint16_t width, const char* prefix);
// By format, or "%f" without trailing zeros (one digit kept after the point); "?" while an
// error is pending.
char* V_S(double value, const char* format);

#endif
