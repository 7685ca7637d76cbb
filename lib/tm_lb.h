// Millisecond clock, ticks, elapsed times and delays.
#ifndef LB_TM_LB_H
#define LB_TM_LB_H

#include "err_lb.h"

#endif
