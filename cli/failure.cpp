// Failures taken from the library at the programs' boundary.
#include "failure.h"

#include <cerrno>

#include "lb.h"

namespace cli {

Failure Failure::from_library(char sock_status) {
    const int no = errno;
    const char* msg = ERR_S();
    return {msg && *msg ? msg : "(unknown error)", no, sock_status};
}

}  // namespace cli
