// The run's conversation with one receiver: the hello once, then every file over the
// extension on the connection kept for it, or by the classic protocol, one connection per
// file, when the receiver does not answer the hello.
#ifndef TX_SESSION_H
#define TX_SESSION_H

#include <chrono>

#include "console.h"
#include "expand.h"
#include "ext.h"
#include "link.h"
#include "outcome.h"
#include "progress.h"
#include "source.h"

namespace tx {

// How files are sent; the waits are shorter in tests.
struct SendRules {
    bool classic_only = false;  // --classic: no hello, every file by the classic protocol
    unsigned retries = 3;       // a send that broke is tried again this many times
    std::chrono::milliseconds hello_wait = std::chrono::seconds(5);
    // For the answer to a request, and after SUM (1 s more per 100 MiB of the file there).
    std::chrono::milliseconds answer_wait = std::chrono::seconds(reply_tmo_secs);
    // Before the first try again; each next one waits twice as long.
    std::chrono::milliseconds first_pause = std::chrono::seconds(1);
};

class Session {
public:
    Session(Peer peer, Dial dial, SendRules rules, cli::Console& console);

    // Sends the file at item: opened and checked first, in a log announced first. Says hello
    // first while it is not known whether the receiver speaks the extension.
    Outcome send(const Item& item);

private:
    enum class Mode { unknown, extension, classic };
    enum class Hello { agreed, classic, no_connection };
    // What a try at one file came to, beyond its outcome.
    enum class After { done, broke, differed, stale };
    // One file on its way under the extension.
    struct FileRun {
        const Item& item;
        Source& src;
        cli::ProgressLine* line;
        bool from_zero = false;  // the next try sends the whole file, whatever was kept
        bool first = true;       // no try has sent a body yet
    };

    Hello say_hello(Outcome& o);
    Outcome send_ext(const Item& item, Source& src);
    Outcome attempt(FileRun& run, After& after);
    Outcome send_after_go(FileRun& run, std::uint64_t kept, After& after);
    bool answer(std::chrono::milliseconds wait, Outcome& o, wire::Answer& a);
    Outcome ended(Outcome o, After& after);
    void starting_at(FileRun& run, std::uint64_t from);

    Peer peer_;
    Dial dial_;
    SendRules rules_;
    cli::Console& console_;
    Mode mode_ = Mode::unknown;
    wire::Hello agreed_;
    Connection conn_;
    LineReader lines_;
    std::string last_line_;  // the receiver's last line, for a protocol error
};

}  // namespace tx

#endif
