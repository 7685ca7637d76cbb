// File records, whole-file operations, listing, paths, editing, moving and copying.
#ifndef LB_FL_LB_H
#define LB_FL_LB_H

#include "err_lb.h"

extern std::uint16_t fl_rc_mxs;  // longest record (line) of the file layer

#endif
