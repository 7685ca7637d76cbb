// One connection to the receiver, from its first header byte to its reply: the header
// lines, the body into a work file of its own, the move to the final name, the reply. Under
// the extension (after a hello) the connection carries files one after another, each
// answered before its body and checked by its digests after it; with batches, also files
// that come without waiting for an answer, the question which files changed, and
// directories.
#ifndef RX_TRANSFER_H
#define RX_TRANSFER_H

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "channel.h"
#include "ext.h"
#include "failure.h"
#include "pairing.h"
#include "readback.h"
#include "sink.h"
#include "store.h"
#include "view.h"

namespace rx {

using Clock = View::Clock;

// What every connection lives by: its time limits and the receiver's write policy.
struct Rules {
    // The three header lines must all have arrived this long after the connection came.
    std::chrono::milliseconds header_deadline{10'000};
    // A body that stays silent this long ends the transfer.
    std::chrono::milliseconds body_silence{60'000};
    mode_t file_mode = 0644;   // what a stored file's mode becomes (less the execute bits)
    bool exec_bits = true;     // ".sh" and ".bin" get execute bits; under the extension, the
                               // sent execute bits stay
    mode_t umask = 022;        // taken from the sent mode under the extension
    StoreRules store;          // where and how files may be stored
    bool zero_copy = true;     // large bodies go from the socket to the file through a pipe
    bool verbose = false;      // failures carry the library's whole trail too
    Sink::FileSplice file_splice = nullptr;  // how the pipe empties into the file; the kernel's
    // A body slower than min_rate bytes a second over rate_window gives way to a newcomer
    // when every connection is taken.
    std::uint64_t min_rate = 1024;
    std::chrono::milliseconds rate_window{10'000};
    // TLS: the server's side made of the receiver's key (none: its hello does not offer tls),
    // where its trusted senders are listed (read at each handshake, so that a sender trusted
    // meanwhile counts), and whether it takes files only over TLS and only from senders it
    // trusts.
    const tls::Context* tls = nullptr;
    std::string pins_dir;
    bool secure = false;
    // With --secure, a sender it does not trust is put to the person at the terminal, who
    // has this long to answer; without a person (none), it is refused.
    Pairing* pairing = nullptr;
    std::chrono::milliseconds pairing_window{60'000};
};


// Driven by the receiver's event loop: it calls on_readable when the socket has something
// (data, or its end) and on_clock when deadline() has passed. Each call does what can be
// done without waiting and returns; once finished() the connection is closed and the object
// only waits to be destroyed. The destructor closes the socket and removes the work file.
class Transfer {
public:
    Transfer(int sd, const sockaddr_in& peer, std::uint16_t port, const Rules& rules, View& view,
             Clock::time_point now);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    bool finished() const { return phase_ == Phase::finished; }
    // Still waiting for its header (or, under the extension, the next one), or for the TLS
    // handshake before it: the first to give way when connections run short.
    bool in_header() const { return phase_ == Phase::header || phase_ == Phase::handshake; }
    // Whether the socket is to be read now: not while a file is checked after its body, nor
    // while bytes read earlier still wait for their turn.
    bool reading() const {
        return !finished() && phase_ != Phase::verify && phase_ != Phase::handshake && pending_.empty();
    }
    // The poll events the connection waits for: the handshake's, else POLLIN while reading.
    short events() const;
    // Whether it has work to do without any byte from the sender: the work file to read back,
    // or bytes read earlier to go on with.
    bool busy() const;
    // Does a bounded piece of that work; answers the file once its check is complete.
    void work(Clock::time_point now);
    // The peer's address, in host byte order.
    std::uint32_t address() const { return address_; }
    // Bytes a second over the last rate window, when the body is that old and moved less
    // than the rules' minimum rate; nothing for everything else (never dropped for a
    // newcomer).
    std::optional<double> slow_rate(Clock::time_point now);
    Clock::time_point deadline() const { return deadline_; }

    void on_readable(Clock::time_point now);
    void on_clock(Clock::time_point now);
    // Whether a file is arriving: its header came and it has not ended.
    bool arriving() const { return phase_ != Phase::header && !finished(); }
    // Ends the connection at once, telling the sender why where it can hear it, and printing
    // nothing: gives what was arriving ("NAME (SIZE of SIZE)"), empty when nothing was.
    std::string abort(const std::string& why);
    // Ends the connection at once, printing why (no reply); a flood's repeats are counted
    // under kind rather than printed each.
    // why says for what: "for a new connection: ...".
    void drop(View::Repeated kind, const char* why);

private:
    // Under the extension: from, after GO, waits for the FROM line; sum, after the body,
    // for the SUM line; verify reads the work file back; check takes the entries of a CHECK.
    // handshake runs TLS after the hello's answer; pairing waits for the person at the
    // terminal to confirm the sender's code.
    enum class Phase { header, handshake, pairing, from, body, sum, verify, check, finished };
    // What a request under the extension asks for.
    enum class Request { file, check, dir };
    // A turn's share of work: a file answered costs this many of it, an entry checked one.
    static constexpr int work_per_turn = 4096;
    static constexpr int file_work = 16;

    void read_turn(Clock::time_point now);
    std::optional<std::size_t> receive(std::size_t want);
    std::optional<std::size_t> receive_tls(std::size_t want);
    void gone(const cli::Failure& f);
    ssize_t send_out();
    std::size_t handle(const char* bytes, std::size_t n, Clock::time_point now);
    void take_pending(Clock::time_point now);
    std::size_t take_lines(const char* bytes, std::size_t n, Clock::time_point now);
    void pace(Clock::time_point now);
    bool header_line_done(Clock::time_point now);
    bool size_line_done();
    std::string name_refusal() const;
    Store::Verdict open_store(std::string& why, const PartInfo* version);
    void start_body();
    std::size_t take_body_bytes(const char* bytes, std::size_t n);
    void stored(std::uint64_t n);
    bool splice_some(Clock::time_point now);
    void body_complete();
    void store();
    mode_t classic_mode() const;
    void refuse(std::string why);
    void fail(const cli::Failure& failure);
    void reply();
    bool flush();
    void say_last(const std::string& line);
    void finish();
    bool between_files() const;

    // The extension (transfer_ext.cpp).
    bool hello(Clock::time_point now);
    void start_file(Clock::time_point now);
    std::size_t take_line_bytes(const char* bytes, std::size_t n, Clock::time_point now);
    void from_line_done(const std::string& line, Clock::time_point now);
    void sum_line_done(const std::string& line, Clock::time_point now);
    bool checked_behind() const;
    void conclude(Clock::time_point now);
    std::string store_ext();
    void answer(wire::Answer::Tag tag, const std::string& text, Clock::time_point now);
    void next_file(Clock::time_point now);
    void protocol_error(const std::string& what);
    void no_and_close(const std::string& why);

    // TLS (transfer_tls.cpp).
    wire::Hello our_hello() const;
    bool refused_outside_tls(bool hello);
    void start_tls(Clock::time_point now);
    void shake(Clock::time_point now);
    void greet_peer(Clock::time_point now);
    void ask_person(const std::string& fingerprint, Clock::time_point now);
    void settle_pairing(Clock::time_point now);

    // Batches (transfer_batch.cpp).
    bool batch_request();
    void start_now(Clock::time_point now);
    void start_check(Clock::time_point now);
    bool entry_line_done(Clock::time_point now);
    char entry_verdict();
    void send_checked(Clock::time_point now);
    void make_dir(Clock::time_point now);
    std::string dir_attrs(int fd);
    std::string lost();
    std::string arrival() const;
    void begin_view(Clock::time_point now);
    std::string shown_name() const;
    std::string so_far() const;
    std::string not_stored(const std::string& why) const;
    std::string write_failed(const cli::Failure& f) const;
    cli::Failure connection_failed(const cli::Failure& f);
    std::string trail(const cli::Failure& f) const;

    int sd_;
    std::uint32_t address_;  // the peer's, host byte order
    std::string peer_;       // "address:port"
    std::uint16_t port_;     // the listening port it came in on
    const Rules& rules_;
    View& view_;
    int view_id_ = -1;       // its number in the view once its header is complete
    Phase phase_ = Phase::header;
    Clock::time_point deadline_;
    std::optional<View::Repeated> repeated_;  // set when the failure is one a flood repeats
    bool any_byte_ = false;                   // whether the peer sent anything at all

    // The body's pace: bytes received at the start of the current and the last rate window.
    struct Mark {
        Clock::time_point at;
        std::uint64_t got = 0;
    };
    Mark mark_{}, last_mark_{};
    bool have_last_mark_ = false;

    // Header: the lines so far (name, directory, size; the times and mode under the
    // extension) and the one being read.
    std::string lines_[4];
    int line_ = 0;

    std::uint64_t size_ = 0;  // announced
    std::uint64_t got_ = 0;   // bytes of the file in the work file (a resumed body starts past 0)
    DirCache dirs_;           // the last destination, for the next file there (outlives store_)
    std::unique_ptr<Store> store_ = std::make_unique<Store>();  // the destination and the work file
    Sink sink_;               // the way of the body's bytes into it
    // Set when the file cannot be stored: the rest of the body is read and dropped, then
    // this is the reply.
    std::string refusal_;

    // The extension: set once the hello is answered.
    bool ext_ = false;
    wire::Hello agreed_;
    wire::Attrs attrs_;
    std::string wire_line_;   // a FROM or SUM line so far
    std::uint64_t from_ = 0;  // where the body started
    std::string sum_prefix_, sum_whole_;
    ReadBack check_;
    // Bytes taken off the socket while a file was being checked (the next header, sent
    // early), or once this turn's share of work was done: taken in their turn, from
    // pending_at_ on.
    std::string pending_;
    std::size_t pending_at_ = 0;
    // Answers gathered in this turn, sent at its end.
    std::string out_;
    // The work this turn may still do (files answered, entries checked): a sender of many
    // small files gets no longer turns than one of a large file.
    int budget_ = 0;

    // Set once the hello agreed on tls: every byte after the hello's answer goes through it.
    std::unique_ptr<tls::Channel> tls_;
    // The channel may hold bytes it has decrypted that poll() cannot see: set when a turn
    // ended before the channel said it had no more.
    bool tls_more_ = false;
    int question_ = -1;  // its pairing question while the person is asked

    // Batches: what the request asks for; a CHECK's entries and its answer so far; the
    // directories this connection made (device, inode), which a DIR may give their mode.
    Request request_ = Request::file;
    std::size_t entries_ = 0;
    std::string checked_;
    std::set<std::pair<dev_t, ino_t>> made_here_;
};

}  // namespace rx

#endif
