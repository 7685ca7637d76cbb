// Removing trailing and leading blanks.
#ifndef LB_RM_TRL_H
#define LB_RM_TRL_H

#include "err_lb.h"

#endif
