// Batches under the extension: files that come without waiting for their GO, the question
// which files of a batch are here already, and directories made and given their times.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "lb.h"
#include "shown.h"
#include "transfer.h"
#include "units.h"
#include "wire.h"

namespace rx {

namespace {

using Tag = wire::Answer::Tag;
using cli::has_control;
using cli::shown;

}  // namespace

// A header whose size line asks for no file: a CHECK (empty name and directory) or a DIR
// (empty name). False for anything else, which is then a file's size line.
bool Transfer::batch_request() {
    if (!agreed_.has(wire::feat_batch) || !lines_[0].empty()) return false;
    if (lines_[1].empty() && wire::parse_check(lines_[2], entries_)) request_ = Request::check;
    else if (lines_[2] == wire::dir_size_line) request_ = Request::dir;
    else return false;
    return true;
}

// A file that comes without waiting: no GO, and never a kept part. One refused at its header
// is read and dropped like any other, and the refusal is its answer after the SUM.
void Transfer::start_now(Clock::time_point now) {
    begin_view(now);
    std::string why;
    if (open_store(why, nullptr) != Store::Verdict::ok) refuse(why);
    phase_ = Phase::from;
}

void Transfer::start_check(Clock::time_point) {
    phase_ = Phase::check;
    for (std::string& line : lines_) line.clear();
    line_ = 0;
    checked_.clear();
    checked_.reserve(entries_);
    dirs_.forget_missing();
}

// Ends a line of an entry; after its fourth, the entry is decided, and after the last one
// the CHECK is answered. False when the connection ended there.
bool Transfer::entry_line_done(Clock::time_point now) {
    if (++line_ < 4) return true;
    const char verdict = entry_verdict();
    if (finished()) return false;
    checked_ += verdict;
    for (std::string& line : lines_) line.clear();
    line_ = 0;
    --budget_;
    if (checked_.size() == entries_) send_checked(now);
    return !finished();
}

// '=' when a regular file stands where the entry says, as the sender has it; '+' for
// anything else, a name or directory the rules refuse included. An entry that is none
// ends the connection.
char Transfer::entry_verdict() {
    std::uint64_t size = 0;
    wire::Attrs attrs;
    std::string bad = wire::parse_size(lines_[2], size);
    if (bad.empty()) bad = wire::parse_attrs(lines_[3], attrs);
    if (!bad.empty()) {
        no_and_close("entry " + std::to_string(checked_.size() + 1) + " of a CHECK: " + bad);
        return wire::check_send;
    }
    if (!name_refusal().empty()) return wire::check_send;
    const FileTime mtime{static_cast<time_t>(attrs.mtime_sec), static_cast<long>(attrs.mtime_nsec)};
    return same_file(rules_.store, dirs_, lines_[1], lines_[0], size, mtime) ? wire::check_same : wire::check_send;
}

void Transfer::send_checked(Clock::time_point now) {
    out_ += wire::checked_line(entries_) + checked_;
    const auto to_send = std::count(checked_.begin(), checked_.end(), wire::check_send);
    view_.line("Checked " + cli::grouped(entries_) + " files for " + peer_ + ": " +
               cli::grouped(static_cast<std::uint64_t>(to_send)) + " to be sent");
    next_file(now);
}

// A DIR: the directory is made where missing, as a file's destination is made, and stays
// though no file comes. It gets its time; and its mode only when this connection made it,
// so that a directory that stood before keeps the mode someone gave it.
void Transfer::make_dir(Clock::time_point now) {
    const std::string& dir = lines_[1];
    std::string why;
    if (has_control(dir)) {
        why = shown(dir) + ": directory not made: it holds a control character";
    } else if (!dir.empty()) {
        Store store;
        const std::size_t before = made_here_.size();
        if (!store.open_dir(rules_.store, dir, why, &dirs_)) {
            why = shown(dir) + ": directory not made: " + why;
        } else {
            store.made_ids(made_here_);
            if (made_here_.size() > before) view_.line("Made directory " + shown(dir) + " for " + peer_);
            why = dir_attrs(store.dir_fd());
            if (!why.empty()) why = shown(dir) + ": " + why;
        }
    }
    if (!why.empty()) view_.error(why + " (from " + peer_ + ")");
    answer(why.empty() ? Tag::ok : Tag::no, why, now);
}

// Empty when the directory has its time (and mode), else why not.
std::string Transfer::dir_attrs(int fd) {
    if (!agreed_.has(wire::feat_times)) return "";
    struct stat st {};
    if (::fstat(fd, &st) != 0) return "it cannot be looked at (" + std::string(std::strerror(errno)) + ")";
    const auto mode = static_cast<mode_t>(attrs_.mode & 0777 & ~rules_.umask);
    if (made_here_.contains({st.st_dev, st.st_ino}) && ::fchmod(fd, mode) != 0)
        return "it cannot be given its mode (" + std::string(std::strerror(errno)) + ")";
    const FileTime times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(attrs_.mtime_sec), static_cast<long>(attrs_.mtime_nsec)}};
    if (::futimens(fd, times) != 0)
        return "it cannot be given its modification time (" + std::string(std::strerror(errno)) + ")";
    return "";
}

}  // namespace rx
