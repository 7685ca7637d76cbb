// Text length.
#ifndef LB_S_SZ_H
#define LB_S_SZ_H

#include "err_lb.h"

std::uint16_t S_SZ(const char* text);

#endif
