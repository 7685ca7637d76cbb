// Shell commands.
#ifndef LB_S_EXE_H
#define LB_S_EXE_H

#include "err_lb.h"

extern char daemon_op;  // set: the library prints nothing on the console

#endif
