// Ordering test of texts.
#ifndef LB_S_ORD_H
#define LB_S_ORD_H

#include "err_lb.h"

#endif
