// VT100 screen output and the screen image.
#ifndef LB_SM_VD_H
#define LB_SM_VD_H

#include "err_lb.h"

#endif
