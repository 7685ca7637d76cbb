// Tab expansion and compression.
#ifndef LB_TAB_SPC_H
#define LB_TAB_SPC_H

#include "err_lb.h"

#endif
