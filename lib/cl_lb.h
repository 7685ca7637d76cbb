// String lists.
#ifndef LB_CL_LB_H
#define LB_CL_LB_H

#include "err_lb.h"

#endif
