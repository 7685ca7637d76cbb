// Search in texts and buffers: text search with wild and group characters, whole words,
// character classes, and replacement in owned and temporary strings.
#ifndef LB_FND_LB_H
#define LB_FND_LB_H

#include "err_lb.h"

// Position results and range ends: 65535 (4294967295 for FND_TXT4) is "not found" as a
// result and "to the terminator" as an end. Ranges are [start, end), cut at the terminator
// and never past position 65534 (4294967294).

// Class bits of ch_dm, one byte per character code.
inline constexpr unsigned char ch_dm_wd = 0x01;    // word character of the latest marked FND_WD
inline constexpr unsigned char ch_dm_nbl = 0x02;   // non-blank text character
inline constexpr unsigned char ch_dm_txt = 0x04;   // text character (blanks included)
inline constexpr unsigned char ch_dm_alpha = 0x08; // letter A-Z, a-z
inline constexpr unsigned char ch_dm_bin = 0x10;   // binary digit
inline constexpr unsigned char ch_dm_dec = 0x20;   // decimal digit
inline constexpr unsigned char ch_dm_oct = 0x40;   // octal digit
inline constexpr unsigned char ch_dm_hex = 0x80;   // hexadecimal digit

extern unsigned char ch_dm[256];

// Finds the needle's range in the haystack's range. case 0 compares letters through
// ch_upper; a needle character equal to wild (not 0) matches any character; group (not 0)
// cuts the needle into segments, each taken at its first occurrence after the previous one.
// match_end (if not null) receives the position just after the match; untouched on a miss.
std::uint16_t FND_TXT(const char* needle, std::uint16_t needle_start, std::uint16_t needle_end,
                      const char* haystack, std::uint16_t start, std::uint16_t end, char group,
                      char cs, char wild, std::uint16_t* match_end);
std::uint16_t FND_TXT(const char* needle, const char* haystack, std::uint16_t start,
                      std::uint16_t end, char group, char cs, char wild, std::uint16_t* match_end);
std::uint32_t FND_TXT4(const char* needle, std::uint32_t needle_start, std::uint32_t needle_end,
                       const char* haystack, std::uint32_t start, std::uint32_t end, char group,
                       char cs, char wild, std::uint32_t* match_end);
std::uint32_t FND_TXT4(const char* needle, const char* haystack, std::uint32_t start,
                       std::uint32_t end, char group, char cs, char wild, std::uint32_t* match_end);

// First position of c in the range; case 0 compares through ch_upper.
std::uint16_t FND_B(char c, const char* text, std::uint16_t start, std::uint16_t end, char cs);
// First position whose ch_dm byte shares a bit with mask; run_end receives the end of the run.
std::uint16_t FND_CHDM(unsigned char mask, const char* text, std::uint16_t start,
                       std::uint16_t end, std::uint16_t* run_end);

// Start of the first whole word of the range that the needle matches (match_end: its end).
// A word is a run of letters, digits and marked characters: mark not 0 marks the needle's
// characters (all but group) and "_" in ch_dm, clearing earlier marks.
std::uint16_t FND_WD(const char* needle, std::uint16_t needle_start, std::uint16_t needle_end,
                     const char* haystack, std::uint16_t start, std::uint16_t end, char group,
                     char cs, char mark, std::uint16_t* match_end);
std::uint16_t FND_WD(const char* needle, const char* haystack, std::uint16_t start,
                     std::uint16_t end, char group, char cs, char mark, std::uint16_t* match_end);

// Replace the first (all not 0: every) occurrence of find in the owned text, letters compared
// without regard to case. Returns the same pointer when nothing was found, else a new block
// and the old one is released. A null or empty find puts replacement in front of the text.
// On a failure the text is released and the result is null.
char* C_TXT(char* text, const char* find, const char* replacement, char all, char group);
// As C_TXT, replacing whole words only.
char* C_WD(char* text, const char* find, const char* replacement, char all, char group);
// As C_TXT and C_WD on a text that is only read; the result is temporary. With an error
// pending the argument itself comes back (not to be changed by the caller).
char* UT_C_TXT(const char* text, const char* find, const char* replacement, char all, char group);
char* UT_C_WD(const char* text, const char* find, const char* replacement, char all, char group);

// Replaces old by new_c in place: the first occurrence, or every one when all is not 0.
void RPL_CH(char old, char new_c, char* text, char all);

#endif
