// Byte and block helpers.
#ifndef LB_B_B_H
#define LB_B_B_H

#include "err_lb.h"

// Copies count bytes from source to destination; a null source zero-fills them.
void B_B(const char* source, std::uint16_t count, char* destination);
// 1 if any of the count bytes is not a text byte (CR, LF, tab, 255, 32..126), else 0.
char RAW_DATA(const char* buffer, std::uint32_t count);

#endif
