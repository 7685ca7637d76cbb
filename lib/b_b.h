// Byte and block helpers.
#ifndef LB_B_B_H
#define LB_B_B_H

#include "err_lb.h"

#endif
