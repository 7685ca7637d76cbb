// One file's body under the extension: "FROM N", the file's bytes from N on, then "SUM" with
// the digests of the file as it was read, computed beside the send.
#ifndef TX_BODY_H
#define TX_BODY_H

#include <cstdint>

#include "expand.h"
#include "outcome.h"
#include "progress.h"
#include "source.h"

namespace tx {

// Sends FROM from, the file's bytes from there to its end and the SUM line on the connected
// socket sd; line (may be null) hears the progress. o.sent counts the bytes of the file that
// went, the first `from` included; a failure says why (stalled, closed, failed, shrank,
// unreadable).
Outcome send_body(int sd, const Item& item, Source& src, std::uint64_t from, cli::ProgressLine* line);

}  // namespace tx

#endif
