// Removing trailing and leading blanks.
#ifndef LB_RM_TRL_H
#define LB_RM_TRL_H

#include "err_lb.h"

// Removes trailing spaces and tabs in place; returns the new length (0 for null).
std::uint16_t RM_TRL(char* text);
// Removes leading spaces and tabs in place; a text of blanks only is left as it was.
void RM_LEAD(char* text);

#endif
