// Keyboard input on a Linux console.
#ifndef LB_VD_LNX_H
#define LB_VD_LNX_H

#include "err_lb.h"

#endif
