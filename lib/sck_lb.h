// Sockets, connections, data transfer, HTTP client and network probes.
#ifndef LB_SCK_LB_H
#define LB_SCK_LB_H

#include "err_lb.h"

#endif
