// One file's way to the receiver by the classic protocol: connection, header, body from the checked descriptor,
// the reply; what became of it as an Outcome.
#ifndef TX_SEND_H
#define TX_SEND_H

#include <chrono>

#include "console.h"
#include "expand.h"
#include "link.h"
#include "outcome.h"
#include "progress.h"
#include "source.h"

namespace tx {

// Sends the file at item, opened and checked as src, by the classic protocol over a
// connection of its own. Draws its progress line on a terminal console.
Outcome send_file(const Item& item, Source& src, const Dial& dial, cli::Console& console);

// Sends header, body and waits for the reply on a connected socket that does not block (as
// the library connects them); line (may be null)
// hears the progress. A send the receiver ended still yields the reply it sent before.
Outcome send_over(int sd, const Item& item, Source& src, cli::ProgressLine* line);

// Reads the reply line for o within wait: o with what the reply says, or closed, no_reply,
// failed. A failure o already holds stays as the account.
Outcome await_reply(int sd, Outcome o, std::chrono::milliseconds wait);

}  // namespace tx

#endif
