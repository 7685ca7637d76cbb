// Failures taken from the library at the programs' boundary.
#include "failure.h"

#include <cerrno>

#include "lb.h"

namespace cli {

Failure Failure::from_library(char sock_status) {
    // The number the library reported with the failure (0 when it reported none); errno may
    // have changed since, in the calls a routine makes after the failing one.
    const int no = os_err;
    os_err = 0;
    const char* msg = ERR_S();
    return {msg && *msg ? msg : "(unknown error)", no, sock_status};
}

}  // namespace cli
