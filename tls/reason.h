// The words of the TLS library's last failure, for messages of this module.
#ifndef TLS_REASON_H
#define TLS_REASON_H

#include <string>

namespace tls {

// what, then the library's reason for its earliest pending failure ("what: reason"); the
// library's queue of failures is empty afterwards.
std::string library_failure(const std::string& what);

}  // namespace tls

#endif
