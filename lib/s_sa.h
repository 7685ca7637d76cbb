// Bounded append into record buffers.
#ifndef LB_S_SA_H
#define LB_S_SA_H

#include "err_lb.h"

// Appends source to the record buffer destination. Past fl_rc_mxs characters: with
// truncate set as much as fits is appended, else "String overflow" is raised.
void S_SA(const char* source, char* destination, char truncate);

#endif
