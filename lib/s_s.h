// Bounded copy into record buffers.
#ifndef LB_S_S_H
#define LB_S_S_H

#include "err_lb.h"

#endif
