// Shell commands.
#include "s_exe.h"

char daemon_op = 0;
