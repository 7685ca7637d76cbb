// A run after its listing. The sessions of -j take their files from one Handout, which
// also takes in what became of each and says every failure as it comes.
#include "run.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "progress.h"
#include "session.h"
#include "shown.h"
#include "units.h"

namespace tx {

namespace {

// What every part of a run asks after.
struct Ctx {
    const Peer& peer;
    const Dial& dial;
    const Args& args;
    cli::Console& out;
};

// The files (or directories) of a run, handed out to its sessions in order, and what became
// of each, taken in: the sessions of -j share one. After a failure without -k nothing more is
// handed out, while the answers of what is on its way are still taken in.
class Handout final : public Feed {
public:
    Handout(std::vector<const Item*> order, Tally& t, const Ctx& ctx)
        : order_(std::move(order)), t_(t), peer_(ctx.peer), args_(ctx.args), out_(ctx.out) {}

    const Item* next() override {
        const std::lock_guard lock(m_);
        if (t_.stopped || at_ == order_.size()) return nullptr;
        if (!order_[at_]->is_dir) ++t_.tried;
        return order_[at_++];
    }

    void done(const Item& item, const Outcome& o) override {
        const std::lock_guard lock(m_);
        t_.resumed += o.resumed;
        t_.retried += o.sent_again;
        if (o.ok()) {
            t_.arrived += !item.is_dir;
            t_.bytes += o.size;
            return;
        }
        const std::string announced = item.destdir.empty() || item.is_dir ? item.destdir + item.name
                                                                           : item.destdir + "/" + item.name;
        t_.failed.push_back(told(o, item.path, announced, peer_, args_.verbose));
        out_.error(t_.failed.back());
        // A receiver that this sender would not send to (its key, no TLS) takes no other
        // file either, -k or not.
        t_.stopped = t_.stopped || !args_.keep_going || o.what == Outcome::What::refused;
    }

private:
    std::mutex m_;
    const std::vector<const Item*> order_;
    std::size_t at_ = 0;
    Tally& t_;
    const Peer& peer_;
    const Args& args_;
    cli::Console& out_;
};

std::vector<const Item*> pointers(const std::vector<Item>& items) {
    std::vector<const Item*> all;
    all.reserve(items.size());
    for (const Item& item : items) all.push_back(&item);
    return all;
}

// -u: the files the receiver lacks, or false when it could not be asked (said).
bool changed_only(Session& session, const std::vector<Item>& files, std::vector<const Item*>& out, Tally& t,
                  const Ctx& ctx) {
    Outcome o;
    const auto speaks = session.greet(o);
    std::string marks;
    if (speaks == Session::Speaks::batch && session.check(files, marks, o)) {
        out.clear();
        for (std::size_t i = 0; i < files.size(); ++i)
            if (marks[i] == wire::check_same) ++t.unchanged;
            else out.push_back(&files[i]);
        return true;
    }
    if (speaks == Session::Speaks::unknown || speaks == Session::Speaks::batch) {
        ctx.out.error(told_unasked(o, ctx.peer));
        return false;
    }
    ctx.out.line(told_no_update(ctx.peer));
    return true;
}

// -n: a line for each file that would go, and what they come to.
void list_only(const std::vector<const Item*>& files, const Tally& t, const Ctx& ctx) {
    std::uint64_t bytes = 0;
    const std::string at = " -> " + ctx.peer.ip + ":" + std::to_string(ctx.peer.port);
    for (const Item* f : files) {
        bytes += f->size;
        ctx.out.line(cli::shown(f->path) + at + (f->destdir.empty() ? "" : "/" + cli::shown(f->destdir)) + " (" +
                 cli::human_size(f->size) + ")");
    }
    ctx.out.line("Would send: " + std::to_string(files.size()) + (files.size() == 1 ? " file, " : " files, ") +
                 cli::human_size(bytes) + (ctx.args.update ? "; unchanged: " + std::to_string(t.unchanged) : ""));
}

// The connections at once: as asked; else one more for each window's worth of files, up to
// default_jobs, where they pay (a file or two go as fast over one), and a receiver of the
// classic protocol gets one.
unsigned jobs_for(Session& first, const Args& args, std::size_t files) {
    unsigned jobs = args.jobs ? args.jobs
                              : static_cast<unsigned>(std::clamp<std::size_t>(files / flight_mxn, 1, default_jobs));
    Outcome o;
    if (!args.jobs && jobs > 1) {
        const Session::Speaks speaks = first.greet(o);
        if (speaks == Session::Speaks::classic || speaks == Session::Speaks::unknown) jobs = 1;
    }
    return static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(jobs, files)));
}

// The files over jobs connections at once: the first session's and more, each on a thread of
// its own, the largest files first so that a large one does not hold back the rest.
void send_files(Session& first, std::vector<const Item*> files, unsigned jobs, Tally& t, SendRules rules,
                const Ctx& ctx) {
    if (jobs > 1) {
        std::stable_sort(files.begin(), files.end(), [](const Item* a, const Item* b) { return a->size > b->size; });
        first.set_live_progress(false);
        // The others need no hello of their own to find a receiver of the classic protocol.
        Outcome o;
        if (first.greet(o) == Session::Speaks::classic) rules.classic_only = true;
        if (first.refused()) jobs = 1;
    }
    Handout feed(std::move(files), t, ctx);
    std::vector<std::thread> more;
    rules.live_progress = false;
    rules.spare = true;
    for (unsigned j = 1; j < jobs; ++j)
        more.emplace_back([&] {
            Session session(ctx.peer, ctx.dial, rules, ctx.out);
            session.send_all(feed);
        });
    first.send_all(feed);
    for (std::thread& thread : more) thread.join();
}

}  // namespace

SendRules rules_of(const Args& args) {
    SendRules rules;
    rules.classic_only = args.classic;
    rules.retries = args.retries;
    rules.secure = args.secure;
    return rules;
}

void take_keys(SendRules& rules, cli::Console& out) {
    // The pins count even without a key: a receiver met over TLS before is never sent to
    // in plain form because this sender's key went missing.
    rules.pins_dir = tls::config_dir("pitchr");
    std::optional<tls::Identity> id = tls::own_identity("pitchr", rules.no_key);
    if (!id) {
        out.line("TLS is not offered: " + cli::shown(rules.no_key));
        return;
    }
    rules.tls = std::make_shared<const tls::Context>(tls::Channel::Role::client, *id);
}

void report(const Tally& t, bool keep_going, double secs, cli::Console& out) {
    const std::size_t items = t.files;
    if (keep_going && !t.failed.empty()) {
        out.line("Not sent (" + std::to_string(t.failed.size()) + "):");
        for (const std::string& f : t.failed) out.line("  " + f);
    }
    std::string summary = "Arrived: " + cli::batch_summary(t.arrived, t.bytes, secs);
    if (t.unchanged) summary += "; unchanged: " + std::to_string(t.unchanged);
    if (t.resumed) summary += "; resumed: " + std::to_string(t.resumed);
    if (t.retried) summary += "; retried: " + std::to_string(t.retried);
    if (!t.failed.empty()) summary += "; failed: " + std::to_string(t.failed.size());
    if (t.tried < items) summary += "; not tried: " + std::to_string(items - t.tried);
    out.line(summary);
}

bool deliver(const Listing& listing, const Peer& peer, const Dial& dial, const Args& args, const SendRules& rules,
             Tally& t, cli::Console& out) {
    const Ctx ctx{peer, dial, args, out};
    std::vector<const Item*> files = pointers(listing.files);
    if (args.dry_run && !args.update) {
        list_only(files, t, ctx);
        return true;
    }
    Session first(peer, dial, rules, out);
    if (args.update && !changed_only(first, listing.files, files, t, ctx)) return false;
    if (args.dry_run) {
        list_only(files, t, ctx);
        return true;
    }
    t.files = files.size();
    send_files(first, files, jobs_for(first, args, files.size()), t, rules, ctx);
    // After every file: no file stored later changes a directory's time.
    if (first.speaks() == Session::Speaks::batch && !t.stopped && !listing.dirs.empty()) {
        Handout dirs(pointers(listing.dirs), t, ctx);
        first.send_all(dirs);
    }
    return true;
}

}  // namespace tx
