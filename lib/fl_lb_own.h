// Helpers shared by the sources of the file module; not part of the API.
#ifndef LB_FL_LB_OWN_H
#define LB_FL_LB_OWN_H

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "fl_lb.h"

// An unsigned 32-bit value in decimal, for messages.
struct Dec {
    char text[12];
    explicit Dec(std::uint32_t value) { std::snprintf(text, sizeof text, "%" PRIu32, value); }
};

// A file time as the local date and time of a file record, weekday included.
void fl_local_utm(std::time_t t, UTMDF& utm);

#endif
