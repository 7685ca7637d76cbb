// Calendar record, calendar arithmetic, time formatting and parsing.
#ifndef LB_UT_DT_H
#define LB_UT_DT_H

#include "err_lb.h"

#endif
