// Search in texts and buffers.
#ifndef LB_FND_LB_H
#define LB_FND_LB_H

#include "err_lb.h"

#endif
