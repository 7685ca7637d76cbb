// System and memory queries.
#ifndef LB_OS_VSN_H
#define LB_OS_VSN_H

#include "err_lb.h"

std::uint32_t AVAIL_MEM();

#endif
