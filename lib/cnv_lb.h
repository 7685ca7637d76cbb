// Text to number and number to text.
#ifndef LB_CNV_LB_H
#define LB_CNV_LB_H

#include "err_lb.h"

// Temporary text of value in decimal; format null means "%ld", commas groups by three.
char* V_S10(std::int32_t value, const char* format, char commas);

#endif
