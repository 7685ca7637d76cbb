// A batch on one connection: files under body_now_mxsz go with "body=now" one after another
// without waiting, directories after the files, and the answers come back in the order sent,
// each matched to its file by the queue of those in flight. A larger file goes by itself,
// once every answer before it has come, so that its GO cannot be taken for another's answer.
#include <optional>
#include <thread>

#include "body.h"
#include "session.h"
#include "shown.h"

namespace tx {

namespace {

using What = Outcome::What;
using Tag = wire::Answer::Tag;

// The batch's bytes go to the socket in pieces of about this size or this many files: few
// calls, and the receiver has work while the next piece is put together.
constexpr std::size_t out_flush_sz = 256 << 10;
constexpr std::size_t out_flush_n = flight_mxn / 4;
constexpr std::chrono::milliseconds at_once{0};

}  // namespace

void Session::send_all(Feed& feed) {
    Outcome o;
    if (rules_.spare && !rules_.classic_only && greet(o) != Speaks::batch && speaks() != Speaks::extension) return;
    Flight f;
    while (take(feed, f)) go(f, feed);
}

// The next to send: one to send again first, then the feed's; when both are out, the answers
// still to come are awaited, which may give more to send again.
bool Session::take(Feed& feed, Flight& f) {
    for (;;) {
        if (!later_.empty()) {
            f = later_.front();
            later_.pop_front();
            return true;
        }
        if (const Item* item = feed.next()) {
            f = Flight{item};
            return true;
        }
        if (flight_.empty()) return false;
        settle(feed);
    }
}

void Session::go(const Flight& f, Feed& feed) {
    const Item& item = *f.item;
    if (item.is_dir) {
        if (speaks() == Speaks::batch) queue(f, nullptr, feed);
        return;
    }
    Source src(item);
    if (!f.again) announce(item);
    if (!src.problem().ok()) return feed.done(item, src.problem());
    Outcome o;
    o.size = src.size();
    if (greet(o) == Speaks::unknown) return feed.done(item, o);
    if (speaks() == Speaks::batch && src.size() < body_now_mxsz) return queue(f, &src, feed);
    // Alone: after every answer before it, so that its GO cannot be taken for another's answer.
    settle(feed);
    feed.done(item, send_opened(item, src));
}

// Puts a file (src) or a directory (none) into the batch once the window has room for it.
void Session::queue(const Flight& f, Source* src, Feed& feed) {
    const std::uint64_t size = src ? src->size() : 0;
    if (!make_room(size, feed)) return later_.push_front(f);
    if (!conn_.open() && !reconnect(f, feed)) return;
    if (src && !append_body_now(out_, *f.item, *src)) return feed.done(*f.item, src->problem());
    if (!src) out_ += wire::dir_request(f.item->destdir, f.item->attrs);
    Flight in = f;
    in.size = size;
    in.start = Clock::now();
    flight_.push_back(in);
    flight_bytes_ += size;
    if ((++unsent_ >= out_flush_n || out_.size() >= out_flush_sz) && flush(feed)) collect(feed);
}

// Waits for answers while the window is full; false when the connection ended meanwhile
// (what was in flight waits in later_).
bool Session::make_room(std::uint64_t size, Feed& feed) {
    while (!flight_.empty() && (flight_.size() >= flight_mxn || flight_bytes_ + size > flight_mxsz))
        if (!answer_one(feed, rules_.answer_wait)) return conn_.open();
    return true;
}

// A new connection after a break; false when there is none, f then waits in later_, or
// failed for good.
bool Session::reconnect(const Flight& f, Feed& feed) {
    Outcome o;
    o.size = f.size;
    const Hello h = say_hello(o);
    if (h == Hello::agreed) {
        if (speaks() == Speaks::batch) return true;
        later_.push_front(f);  // no batches any more: go() sends it alone
        return false;
    }
    if (h == Hello::classic) {
        // Turned away now (its limit of connections from one address, a restart): the
        // receiver may take the next try.
        o.what = last_line_.empty() ? What::closed : What::not_stored;
        o.reply = last_line_;
    }
    if (h == Hello::refused) breaks_ = rules_.retries;  // another try would meet the same key
    broke(o, feed, &f);
    return false;
}

bool Session::flush(Feed& feed) {
    if (out_.empty()) return true;
    Outcome o;
    o.size = flight_.front().size;
    const bool sent = lines_.send(conn_.pipe(), out_, o);
    out_.clear();
    unsent_ = 0;
    if (!sent) broke(o, feed, nullptr);
    return sent;
}

// The answers that have come, without waiting.
void Session::collect(Feed& feed) {
    while (!flight_.empty() && answer_one(feed, at_once)) {
    }
}

// One answer within wait, for the file at the head of the queue; false when none has come
// (wait 0) or the connection ended.
bool Session::answer_one(Feed& feed, std::chrono::milliseconds wait) {
    if (wait > at_once && !lines_.ready() && !flush(feed)) return false;
    Outcome o;
    o.size = o.sent = flight_.front().size;
    o.sent_again = flight_.front().again;
    wire::Answer a;
    if (answer(wait, o, a)) {
        answered(a, o, feed);
        return conn_.open();
    }
    if (wait == at_once && o.what == What::no_reply) return false;
    if (o.what == What::protocol_error) protocol_broken(o, feed);
    else broke(o, feed, nullptr);
    return false;
}

void Session::answered(const wire::Answer& a, Outcome o, Feed& feed) {
    const Flight f = flight_.front();
    const bool dir = f.item->is_dir;
    if (a.tag == Tag::ok || a.tag == Tag::no || (a.tag == Tag::badsum && !dir)) {
        flight_.pop_front();
        flight_bytes_ -= f.size;
        breaks_ = 0;
    }
    switch (a.tag) {
        case Tag::ok:
            o.verified = !dir && agreed_.has(wire::feat_verify);
            finished(f, o);
            break;
        case Tag::no:
            o.what = dir ? What::not_made : What::not_stored;
            o.reply = a.text;
            break;
        case Tag::badsum:
            if (dir) return protocol_broken(o, feed);
            if (!f.differed) {
                console_.line(told_differed(f.item->path));
                return later_.push_back({f.item, 0, {}, true, true});
            }
            o.what = What::differed_twice;
            break;
        default:
            // GO or STALE: there is no place for them in a batch.
            o.what = What::protocol_error;
            o.reply = last_line_;
            return protocol_broken(o, feed);
    }
    feed.done(*f.item, o);
}

// On a terminal, a file's line in its final form once its answer came.
void Session::finished(const Flight& f, const Outcome& o) {
    if (!console_.tty() || f.item->is_dir) return;
    cli::ProgressLine line(console_, f.item->path, f.size, f.start);
    line.count(f.size);
    line.finish(o.verified ? "OK, verified" : "OK");
}

// The receiver answered what has no place here: that is the account of the file at the head;
// the connection is ended, and the files behind it go again on a new one.
void Session::protocol_broken(const Outcome& o, Feed& feed) {
    const Flight head = flight_.front();
    flight_.pop_front();
    flight_bytes_ -= head.size;
    feed.done(*head.item, o);
    requeue(nullptr);
}

// Every answer still to come.
void Session::settle(Feed& feed) {
    while (!flight_.empty()) answer_one(feed, rules_.answer_wait);
}

// The connection is closed; what was in flight (then pending, not yet in it) goes again
// first, in its order.
void Session::requeue(const Flight* pending) {
    conn_.close();
    out_.clear();
    unsent_ = 0;
    if (pending) later_.push_front(*pending);
    while (!flight_.empty()) {
        Flight f = flight_.back();
        flight_.pop_back();
        f.again = true;
        later_.push_front(f);
    }
    flight_bytes_ = 0;
}

// The connection broke (o says how): what was in flight, and pending, go again on a new one
// after a pause, as a single file's send that broke does; once the tries are used up, they
// fail with o as their account.
void Session::broke(Outcome o, Feed& feed, const Flight* pending) {
    const std::size_t hit = flight_.size() + (pending ? 1 : 0);
    requeue(pending);
    if (breaks_ >= rules_.retries) {
        for (std::size_t i = 0; i < hit; ++i) {
            o.size = o.sent = later_.front().size;
            feed.done(*later_.front().item, o);
            later_.pop_front();
        }
        return;
    }
    const auto pause = rules_.first_pause * (1u << breaks_++);
    console_.line(told_retry(o, later_.front().item->path, peer_, breaks_, rules_.retries,
                             static_cast<unsigned>(std::chrono::ceil<std::chrono::seconds>(pause).count())));
    std::this_thread::sleep_for(pause);
}

}  // namespace tx
