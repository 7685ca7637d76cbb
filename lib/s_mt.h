// Wildcard matching of texts and buffers.
#ifndef LB_S_MT_H
#define LB_S_MT_H

#include "err_lb.h"

// Shared options: cs 0 compares letters without regard to case; lit 0 lets any character that
// is not a letter or digit match any other such character; wild (not 0), standing in the
// first argument, matches any one character. Null against null matches; nothing is raised.

// Whole texts. With a group character, second is a pattern that must cover all of first,
// its segments taken leftmost-first (FND_TXT); wild and group then stand in second.
char S_MT(const char* first, const char* second, char cs, char lit, char wild, char group);
// The first count characters of buffer against those of pattern; count 65535 means the
// length of pattern.
char BF_MT(const char* buffer, const char* pattern, std::uint16_t count, char cs, char lit,
           char wild);
// Whether text ends with suffix.
char S_END_MT(const char* text, const char* suffix, char cs, char lit, char wild);

#endif
