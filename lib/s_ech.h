// Display forms of bytes, escapes and hexadecimal dumps.
#ifndef LB_S_ECH_H
#define LB_S_ECH_H

#include "err_lb.h"

#endif
