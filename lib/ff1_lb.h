// Byte FIFO.
#ifndef LB_FF1_LB_H
#define LB_FF1_LB_H

#include "err_lb.h"

#endif
