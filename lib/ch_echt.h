// Key names and control-key display.
#ifndef LB_CH_ECHT_H
#define LB_CH_ECHT_H

#include "err_lb.h"

#endif
