// Bounded append of several texts into record buffers.
#ifndef LB_SM_SA_H
#define LB_SM_SA_H

#include "err_lb.h"

#endif
