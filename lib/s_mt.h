// Wildcard matching of texts and buffers.
#ifndef LB_S_MT_H
#define LB_S_MT_H

#include "err_lb.h"

#endif
