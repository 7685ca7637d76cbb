// One file's body under the extension: "FROM N", the file's bytes from N on, then "SUM" with
// the digests of the file as it was read, computed beside the send.
#ifndef TX_BODY_H
#define TX_BODY_H

#include <cstdint>
#include <string>

#include "expand.h"
#include "link.h"
#include "outcome.h"
#include "progress.h"
#include "source.h"

namespace tx {

// Sends FROM from, the file's bytes from there to its end and the SUM line on the connected
// socket or channel p; line (may be null) hears the progress. o.sent counts the bytes of the file that
// went, the first `from` included; a failure says why (stalled, closed, failed, shrank,
// unreadable).
Outcome send_body(Pipe p, Source& src, std::uint64_t from, cli::ProgressLine* line);

// Appends to out a file's request with "body=now", FROM 0, the whole file and SUM: all a
// receiver of batches needs of it without a GO. False (src.problem() says why, out as it
// was) when the file cannot be read to its size.
bool append_body_now(std::string& out, const Item& item, Source& src);

}  // namespace tx

#endif
