// Sending one file by the classic protocol: the library does the moving; failures are taken
// from it here, as numbers, and become an Outcome.
#include "send.h"

#include <poll.h>

#include <optional>
#include <string>

#include "lb.h"
#include "link.h"
#include "wire.h"

namespace tx {

namespace {

using Clock = std::chrono::steady_clock;
using What = Outcome::What;

// Files up to this size are sent together with their header.
constexpr std::uint64_t small_body_sz = 64 * 1024;
// A time-out that means the library's own send time-out.
constexpr std::uint16_t library_tx_tmo = 0xFFFF;
// The reply may take this long after the body: 20 s, and what is left of the 21st.
constexpr auto reply_wait = std::chrono::seconds(reply_tmo_secs + 1);
// After a send the receiver ended, its reply is already on its way or there is none.
constexpr auto early_reply_wait = std::chrono::seconds(2);
// How long the probe of an older receiver may wait for its reply.
constexpr auto probe_wait = std::chrono::seconds(5);

// Whether the receiver answers a header it can read. A fresh connection announces one byte
// under an empty name: every receiver reads that size, takes the byte and refuses the name
// with a reply, so nothing is stored.
bool answers_small_header(const Dial& dial) {
    Outcome o;
    Connection c(dial, o);
    if (!c.open()) return false;
    const std::string probe = wire::header("", "", 1) + "-";
    {
        const std::lock_guard lock(library_lock());
        char st = 0;
        BF_SCK(c.sd(), probe.data(), static_cast<std::uint32_t>(probe.size()), &st, connect_tmo_secs);
        if (err_) {
            taken(st);
            return false;
        }
    }
    const What said = await_reply(c.sd(), o, probe_wait).what;
    return said == What::stored || said == What::not_stored || said == What::empty_reply || said == What::long_reply;
}

void on_progress(void* line, std::uint64_t sent) { static_cast<cli::ProgressLine*>(line)->update(sent); }

// A send that failed (f, as taken from the library): the receiver stopped taking data, ended
// the connection (having said why, maybe), or the file ended early.
Outcome early_reply_or_failure(int sd, Source& src, Outcome o, char st, const cli::Failure& f) {
    o.failure = f;
    if (st == sck_st_blocked) {
        o.what = What::stalled;
    } else if (closed_by_peer(st)) {
        // A receiver that refused at the header may have replied before it closed.
        o = await_reply(sd, o, early_reply_wait);
        if (o.what == What::no_reply) o.what = What::closed;
    } else if (src.shrank()) {
        o.what = What::shrank;
        o.now = src.problem().now;
    } else {
        o.what = What::failed;
    }
    return o;
}

}  // namespace

Outcome await_reply(int sd, Outcome o, std::chrono::milliseconds wait) {
    wire::ReplyReader reader;
    const auto deadline = Clock::now() + wait;
    // The reply is the last thing on the connection: it is read as it comes, not a byte at a time.
    char block[wire::reply_mxsz + 1];
    for (;;) {
        char st = 0;
        std::uint32_t n = 0;
        cli::Failure f;
        {
            const std::lock_guard lock(library_lock());
            os_err = 0;
            n = SCK_RECV(sd, block, sizeof block, 0, &st);
            if (err_) f = taken(st);
        }
        if (f) {
            if (!o.failure) o.failure = f;
            o.what = closed_by_peer(st) ? What::closed : What::failed;
            return o;
        }
        if (n == 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                o.what = What::no_reply;
                return o;
            }
            pollfd p{sd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left));
            continue;
        }
        const auto state = reader.take(std::string_view(block, n));
        if (state == wire::ReplyReader::State::more) continue;
        o.reply = reader.line();
        if (state == wire::ReplyReader::State::too_long) o.what = What::long_reply;
        else if (wire::stored(o.reply)) o.what = What::stored;
        else o.what = o.reply.empty() ? What::empty_reply : What::not_stored;
        return o;
    }
}

namespace {

// The header and the body, as the library sends them; f gets its failure, taken under its lock.
Outcome send_whole(int sd, const Item& item, Source& src, cli::ProgressLine* line, char& st, cli::Failure& f) {
    Outcome o;
    o.size = src.size();
    std::string header = wire::header(item.name, item.destdir, src.size());
    const std::lock_guard lock(library_lock());
    os_err = 0;
    if (src.size() <= small_body_sz) {
        // A small file goes with its header in one send: one segment, one wake-up for the receiver.
        if (!src.read_all(header)) return src.problem();
        BF_SCK(sd, header.data(), static_cast<std::uint32_t>(header.size()), &st, body_tmo_secs);
        if (!err_) o.sent = src.size();
        if (line && !err_) line->update(o.sent);
    } else {
        BF_SCK(sd, header.data(), static_cast<std::uint32_t>(header.size()), &st, library_tx_tmo);
        if (!err_)
            o.sent = FD_SCK(sd, src.fd(), item.path.c_str(), src.size(), &st, body_tmo_secs,
                            line ? on_progress : nullptr, line);
    }
    if (err_) f = taken(st);
    return o;
}

}  // namespace

Outcome send_over(int sd, const Item& item, Source& src, cli::ProgressLine* line) {
    char st = 0;
    cli::Failure f;
    Outcome o = send_whole(sd, item, src, line, st, f);
    if (f) return early_reply_or_failure(sd, src, o, st, f);
    return await_reply(sd, o, reply_wait);
}

Outcome send_file(const Item& item, Source& src, const Dial& dial, cli::Console& console) {
    Outcome o;
    o.size = src.size();
    std::optional<cli::ProgressLine> line;
    {
        Connection c(dial, o);
        if (!c.open()) return o;
        if (console.tty()) line.emplace(console, item.path, src.size());
        o = send_over(c.sd(), item, src, line ? &*line : nullptr);
    }
    // An older receiver closes without a word on a size it cannot read; it is named only
    // when it is known to answer a header it can.
    if (o.what == What::closed && o.size > old_receiver_mxsz && answers_small_header(dial))
        o.what = What::older_receiver;
    if (line && o.ok()) line->finish("OK");
    return o;
}

}  // namespace tx
