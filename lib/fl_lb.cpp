// File records, whole-file operations, listing, paths, editing, moving and copying.
#include "fl_lb.h"

std::uint16_t fl_rc_mxs = 256;
