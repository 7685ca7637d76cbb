// A connection under the extension: the hello, then file after file, each answered before
// its body (GO or NO), its body from the offset the sender chose, and its digests checked
// against the work file read back before it is placed.
#include <sys/stat.h>

#include <cstring>

#include "lb.h"
#include "shown.h"
#include "transfer.h"
#include "units.h"
#include "wire.h"

namespace rx {

namespace {

using Tag = wire::Answer::Tag;
using cli::Failure;
using cli::shown;

// The FROM and SUM lines are far shorter; a longer one is no such line.
constexpr std::size_t line_mxsz = wire::header_line_mxsz;

}  // namespace

// The first header's size line may be a hello: answered with what both ends speak. False
// when it is none (a classic header, handled as always).
bool Transfer::hello(Clock::time_point now) {
    wire::Hello theirs;
    if (!wire::parse_hello(lines_[2], theirs)) return false;
    agreed_ = wire::agreed(our_hello(), theirs);
    SM_SCK(sd_, nullptr, 0xFFFF, (wire::hello_line(agreed_) + wire::line_end).c_str(), nullptr);
    if (err_) {
        fail(connection_failed(Failure::from_library()));
        return true;
    }
    ext_ = true;
    if (refused_outside_tls(true)) return true;
    if (agreed_.has(wire::feat_tls)) start_tls(now);
    else next_file(now);
    return true;
}

// The four header lines are in: the file is refused at once, or the sender is told where
// to start.
void Transfer::start_file(Clock::time_point now) {
    if (request_ == Request::check) return start_check(now);  // its fourth line says nothing
    if (const std::string bad = wire::parse_attrs(lines_[3], attrs_); !bad.empty())
        return no_and_close((request_ == Request::dir ? shown(lines_[1]) : shown_name()) + ": not stored: " + bad);
    if (request_ == Request::dir) return make_dir(now);
    if (attrs_.body_now && agreed_.has(wire::feat_batch)) return start_now(now);
    begin_view(now);
    const PartInfo version{size_, attrs_.mtime_sec, attrs_.mtime_nsec, lines_[0]};
    std::string why;
    if (open_store(why, agreed_.has(wire::feat_resume) ? &version : nullptr) != Store::Verdict::ok) {
        answer(Tag::no, why, now);
        return;
    }
    phase_ = Phase::from;
    out_ += wire::go_line(store_->kept());
}

// Gives the bytes it took: up to the end of the line.
std::size_t Transfer::take_line_bytes(const char* bytes, std::size_t n, Clock::time_point now) {
    const auto* end = static_cast<const char*>(std::memchr(bytes, wire::line_end, n));
    const std::size_t part = end ? static_cast<std::size_t>(end - bytes) : n;
    if (wire_line_.size() + part > line_mxsz) {
        protocol_error("a line longer than " + std::to_string(line_mxsz) + " bytes");
        return n;
    }
    wire_line_.append(bytes, part);
    if (!end) return n;
    const std::string line = std::move(wire_line_);
    wire_line_.clear();
    if (phase_ == Phase::from) from_line_done(line, now);
    else sum_line_done(line, now);
    return part + 1;
}

// The body starts where the sender says: at the kept length, or at 0 (what was kept goes).
void Transfer::from_line_done(const std::string& line, Clock::time_point now) {
    std::uint64_t at = 0;
    if (!wire::parse_from(line, at) || (at != 0 && at != store_->kept())) {
        protocol_error("\"" + shown(line) + (attrs_.body_now ? "\" where FROM 0 was due"
                                                            : "\" in answer to GO " + std::to_string(store_->kept())));
        return;
    }
    if (at == 0) store_->restart();
    from_ = got_ = at;
    mark_ = {now, at};
    if (at > 0) {
        view_.line(shown_name() + ": resuming at " + cli::human_size(at) + " (kept from an earlier send)");
        view_.resumed(view_id_, at);
    }
    phase_ = Phase::body;
    sink_.open(store_->fd(), shown_name(), rules_.zero_copy && !tls_, at);
    check_.start(store_->fd(), at);
    if (got_ == size_) body_complete();
}

void Transfer::sum_line_done(const std::string& line, Clock::time_point now) {
    if (!wire::parse_sum(line, sum_prefix_, sum_whole_)) {
        protocol_error("\"" + shown(line) + "\" where the digests were due");
        return;
    }
    phase_ = Phase::verify;
    if (checked_behind()) check_.step(got_);
    // A small file is read back whole by now: answered at once, and the bytes behind its
    // SUM go on in the same turn.
    if (!checked_behind()) conclude(now);
}

// Whether bytes written to the work file are still to be read back.
bool Transfer::checked_behind() const {
    const bool checking = phase_ == Phase::body || phase_ == Phase::sum || phase_ == Phase::verify;
    return ext_ && checking && refusal_.empty() && check_.behind(got_);
}

bool Transfer::busy() const {
    if (phase_ == Phase::pairing) return rules_.pairing->verdict(question_) != Pairing::Verdict::waiting;
    return !finished() && (phase_ == Phase::verify || !pending_.empty() || checked_behind() || (tls_more_ && reading()));
}

void Transfer::work(Clock::time_point now) {
    budget_ = work_per_turn;
    if (phase_ == Phase::pairing) return settle_pairing(now);
    if (tls_more_ && reading()) read_turn(now);
    if (checked_behind()) check_.step(got_);
    if (phase_ == Phase::verify && !checked_behind()) conclude(now);
    if (!pending_.empty() && phase_ != Phase::verify) take_pending(now);
    flush();
}

// The whole file has been read back: placed when both digests agree.
void Transfer::conclude(Clock::time_point now) {
    if (refusal_.empty() && check_.error())
        refuse(not_stored("it cannot be read back to be checked (" + std::string(std::strerror(check_.error())) + ")"));
    if (!refusal_.empty()) return answer(Tag::no, refusal_, now);
    if (from_ > 0 && check_.prefix() != sum_prefix_) {
        store_->discard();
        return answer(Tag::stale, shown_name() + ": the kept part was not of this file; removed", now);
    }
    if (check_.whole() != sum_whole_) {
        store_->discard();
        return answer(Tag::badsum, not_stored("the bytes that arrived differ from the sender's file"), now);
    }
    const std::string why = store_ext();
    answer(why.empty() ? Tag::ok : Tag::no, why.empty() ? "" : not_stored(why), now);
}

// The sent mode less the umask, and the sent modification time, where both ends speak of
// them; else as a classic file.
std::string Transfer::store_ext() {
    if (!agreed_.has(wire::feat_times)) return store_->commit(classic_mode());
    mode_t mode = static_cast<mode_t>(attrs_.mode) & 0777 & ~rules_.umask;
    if (!rules_.exec_bits) mode &= ~static_cast<mode_t>(0111);
    const FileTime mtime{static_cast<time_t>(attrs_.mtime_sec), static_cast<long>(attrs_.mtime_nsec)};
    std::string why = store_->commit(mode, &mtime);
    if (why.empty()) store_->made_ids(made_here_);
    return why;
}

// Answers the file (sent at the end of the turn), prints how it ended, and waits for the
// next file.
void Transfer::answer(Tag tag, const std::string& text, Clock::time_point now) {
    out_ += wire::answer_line(tag, text);
    view_.end(view_id_, tag == Tag::ok, text, now);
    view_id_ = -1;
    budget_ -= file_work;
    next_file(now);
}

void Transfer::next_file(Clock::time_point now) {
    phase_ = Phase::header;
    for (std::string& line : lines_) line.clear();
    line_ = 0;
    size_ = got_ = from_ = 0;
    refusal_.clear();
    store_ = std::make_unique<Store>();
    attrs_ = {};
    request_ = Request::file;
    have_last_mark_ = false;
    deadline_ = now + rules_.body_silence;
}

// A request that is none: the sender hears why, and the connection ends.
void Transfer::no_and_close(const std::string& why) {
    say_last(wire::answer_line(Tag::no, why));
    fail({why + "; connection closed"});
}

// The sender broke the protocol: the connection ends (a kept part stays, it is still good).
void Transfer::protocol_error(const std::string& what) {
    const std::string where = view_id_ >= 0 ? shown_name() + ": " : "";
    fail({where + what + ": not the protocol; connection closed" + (view_id_ >= 0 ? lost() : "")});
}

// How a file that broke off ends: its kept part stays for a later send, else nothing is left.
std::string Transfer::lost() {
    const std::uint64_t kept = store_->keep();
    return kept > 0 ? "; " + cli::human_size(kept) + " kept to resume" : "; nothing stored";
}

}  // namespace rx
