// The run's conversation with one receiver: the hello once, then every file over the
// extension on the connection kept for it, or by the classic protocol, one connection per
// file, when the receiver does not answer the hello.
#ifndef TX_SESSION_H
#define TX_SESSION_H

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "console.h"
#include "expand.h"
#include "ext.h"
#include "channel.h"
#include "keys.h"
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
    // A progress line redrawn while a file goes, on a terminal; with -j the files' lines are
    // printed when they are done, since one status line cannot follow several files.
    bool live_progress = true;
    // One of the more connections of -j: when it cannot be made, or the receiver turns it away,
    // the session sends nothing and leaves its files to the others.
    bool spare = false;
    // TLS: the client side made of the sender's key (without one the hello does not offer
    // it). pins_dir holds the receivers' keys as first met; --secure sends only to a receiver
    // that answers PAIRED.
    std::shared_ptr<const tls::Context> tls;
    std::string pins_dir;
    std::string no_key;  // why there is no identity, when there is none
    bool secure = false;
    std::chrono::milliseconds handshake_wait = std::chrono::seconds(10);
    // The receiver gives its person 60 s; its answer, even a late NO, comes within this.
    std::chrono::milliseconds pairing_wait = std::chrono::seconds(70);
};

// Where the files of a run come from, and where what became of each goes. The sessions of
// -j share one, so its calls come from several threads.
class Feed {
public:
    virtual ~Feed() = default;
    // The next file (or directory) to send; null when there is none left, or the run stops.
    virtual const Item* next() = 0;
    virtual void done(const Item& item, const Outcome& o) = 0;
};

class Session {
public:
    Session(Peer peer, Dial dial, SendRules rules, cli::Console& console);

    // Sends the file at item: opened and checked first, in a log announced first. Says hello
    // first while it is not known whether the receiver speaks the extension.
    Outcome send(const Item& item);

    enum class Speaks { unknown, classic, extension, batch };
    // Says hello now unless it was said: what the receiver speaks, unknown (o says why) when
    // no connection could be made.
    Speaks greet(Outcome& o);
    Speaks speaks() const;
    // Whether the receiver turned this sender away at its hello (a key, TLS or pairing
    // refused): every later connection would meet the same answer, so none is made.
    bool refused() const { return refused_.has_value(); }
    void set_live_progress(bool on) { rules_.live_progress = on; }
    // Sends what feed hands out until it has no more. To a receiver of batches, files under
    // body_now_mxsz go without waiting for their answers, and directories are made; to others
    // each file goes after the one before.
    void send_all(Feed& feed);
    // -u: asks a receiver of batches which of files it lacks: marks gets wire::check_same or
    // check_send for each. False with o saying why when the asking failed.
    bool check(const std::vector<Item>& files, std::string& marks, Outcome& o);

private:
    enum class Mode { unknown, extension, classic };
    using Clock = std::chrono::steady_clock;
    // A file or directory of a batch whose answer has not come.
    struct Flight {
        const Item* item = nullptr;
        std::uint64_t size = 0;
        Clock::time_point start{};
        bool again = false;     // sent before (a mismatch, a break)
        bool differed = false;  // its copy differed once: a second time is the end of it
    };
    enum class Hello { agreed, classic, no_connection, refused };
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
    Hello turned_away(const Outcome& o);
    // TLS (secure.cpp): the hello this sender says, and after the receiver's, whether this
    // connection may carry files; false with o saying why (refused).
    wire::Hello our_hello() const;
    bool secured(Outcome& o);
    bool handshake(Outcome& o);
    bool paired(const std::string& fingerprint, Outcome& o);
    bool refuse(Outcome& o, const std::string& why);
    std::string peer_name() const;
    // Says hello if it was not said, then sends the file alone.
    Outcome send_opened(const Item& item, Source& src);
    Outcome send_ext(const Item& item, Source& src);
    Outcome attempt(FileRun& run, After& after);
    Outcome send_after_go(FileRun& run, std::uint64_t kept, After& after);
    bool answer(std::chrono::milliseconds wait, Outcome& o, wire::Answer& a);
    // The next line into last_line_ within wait; false with o saying what came instead.
    bool next_line(std::chrono::milliseconds wait, Outcome& o);
    bool got(LineReader::Got g, const cli::Failure& f, Outcome& o);
    Outcome ended(Outcome o, After& after);
    void starting_at(FileRun& run, std::uint64_t from);
    void announce(const Item& item);

    // The batch (batch.cpp).
    bool take(Feed& feed, Flight& f);
    void go(const Flight& f, Feed& feed);
    void queue(const Flight& f, Source* src, Feed& feed);
    bool make_room(std::uint64_t size, Feed& feed);
    bool reconnect(const Flight& f, Feed& feed);
    void finished(const Flight& f, const Outcome& o);
    bool flush(Feed& feed);
    void collect(Feed& feed);
    bool answer_one(Feed& feed, std::chrono::milliseconds wait);
    void answered(const wire::Answer& a, Outcome o, Feed& feed);
    void protocol_broken(const Outcome& o, Feed& feed);
    void settle(Feed& feed);
    void requeue(const Flight* pending);
    void broke(Outcome o, Feed& feed, const Flight* pending);
    bool send_checks(const std::vector<Item>& files, std::vector<std::size_t>& asked, Outcome& o);
    bool read_checks(const std::vector<std::size_t>& asked, std::string& marks, Outcome& o);

    Peer peer_;
    Dial dial_;
    SendRules rules_;
    cli::Console& console_;
    Mode mode_ = Mode::unknown;
    std::optional<Outcome> refused_;  // the answer that turned it away, given again
    wire::Hello agreed_;
    Connection conn_;
    LineReader lines_;
    std::string last_line_;  // the receiver's last line, for a protocol error
    std::deque<Flight> flight_;  // sent (or in out_), in the order of their answers
    std::uint64_t flight_bytes_ = 0;
    std::deque<Flight> later_;   // to be sent again
    std::string out_;            // the batch's bytes not yet sent
    std::size_t unsent_ = 0;     // files and directories in out_
    unsigned breaks_ = 0;        // breaks since the last answer
};

// Files below this size go in a batch without waiting for GO.
inline constexpr std::uint64_t body_now_mxsz = 1 << 20;
// At most this many files and bytes of a batch go unanswered.
inline constexpr std::size_t flight_mxn = 64;
inline constexpr std::uint64_t flight_mxsz = 8 << 20;

}  // namespace tx

#endif
