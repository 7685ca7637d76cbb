// Tab expansion and compression.
#ifndef LB_TAB_SPC_H
#define LB_TAB_SPC_H

#include "err_lb.h"

// Temporary copy of text with every tab expanded to spaces up to the next stop of 8;
// "" for null or empty, "?" while an error is pending.
char* TAB_SPC(const char* text);
// In place, replaces runs of spaces ending at a tab stop by tabs; column 65535 means
// every tab stop, any other value only the stop at that column.
void SPC_TAB(char* text, std::uint16_t column);

#endif
