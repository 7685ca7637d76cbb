// Bounded copy into record buffers.
#ifndef LB_S_S_H
#define LB_S_S_H

#include "err_lb.h"

// Copies source into the record buffer destination (fl_rc_mxs characters plus the
// terminator). A longer source is cut with truncate set, else "S_S:Record overflow" is
// raised and nothing is copied. A null source empties the destination.
void S_S(const char* source, char* destination, char truncate);

#endif
