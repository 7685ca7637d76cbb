// A run after its listing: -u's question, -n's list, the files over one connection or -j of
// them at once, then the directories of the trees; and what it came to.
#ifndef TX_RUN_H
#define TX_RUN_H

#include <cstdint>
#include <string>
#include <vector>

#include "args.h"
#include "console.h"
#include "expand.h"
#include "link.h"
#include "outcome.h"
#include "session.h"

namespace tx {

// How the batch went.
struct Tally {
    std::size_t files = 0;            // to send (after -u)
    std::size_t arrived = 0;
    std::uint64_t bytes = 0;
    std::size_t tried = 0;
    std::size_t resumed = 0;          // files whose body went from a part the receiver kept
    std::size_t retried = 0;          // files sent again after a mismatch or a break
    std::size_t unchanged = 0;        // -u: files the receiver has as they are
    std::vector<std::string> failed;  // the line said about each
    bool stopped = false;             // a failure without -k ended the handing out
};

// How the command line asks files to be sent.
SendRules rules_of(const Args& args);
// The sender's key and pins from its configuration directory into rules: made on first use.
// Without them TLS is not offered, and out hears why.
void take_keys(SendRules& rules, cli::Console& out);

// Sends (or with -n lists) the listing's files to the receiver that dial reaches, printing
// each failure. False when nothing was sent because -u could not ask the receiver (said).
bool deliver(const Listing& listing, const Peer& peer, const Dial& dial, const Args& args, const SendRules& rules,
             Tally& t, cli::Console& out);

// The list of what did not arrive (with -k), and the summary line.
void report(const Tally& t, bool keep_going, double secs, cli::Console& out);

}  // namespace tx

#endif
