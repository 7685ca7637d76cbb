// Bounded append into record buffers.
#ifndef LB_S_SA_H
#define LB_S_SA_H

#include "err_lb.h"

#endif
