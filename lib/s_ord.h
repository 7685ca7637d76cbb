// Ordering test of texts.
#ifndef LB_S_ORD_H
#define LB_S_ORD_H

#include "err_lb.h"

// 1 if first sorts before second or equals it, else 0. With exact_case 0 letter case is
// ignored, and texts equal apart from case fall back to the exact comparison.
char S_ORD(const char* first, const char* second, char exact_case);

#endif
