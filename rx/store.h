// Where one received file is stored: its destination directory, reached once from the
// receiving directory and kept open, and a work file beside the final name that is renamed
// over it when the body is complete. No name is resolved twice and no link is followed
// where the rules forbid it.
#ifndef RX_STORE_H
#define RX_STORE_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rx {

// The receiver's write policy, as every store applies it.
struct StoreRules {
    int root_fd = -1;          // the receiving directory, opened once at start-up
    bool confine = false;      // nothing outside root_fd, no symbolic link on the way
    bool no_clobber = false;   // an existing name is never replaced
    // Bytes a store leaves free on the destination's file system for everyone else; unset:
    // 1 % of that file system or 1 GiB, whichever is smaller.
    std::optional<std::uint64_t> min_free;
};

// Work files are named so: hidden, and in a form that no ordinary file takes.
inline constexpr char work_prefix[] = ".catchr-";
inline constexpr char work_suffix[] = ".part";

class Store {
public:
    // What open() decided. refused: the body is read and dropped, then the reason is the
    // reply; at_once: the reason is the reply now and the connection ends (the body could
    // never be stored, so it is not waited for).
    enum class Verdict { ok, refused, at_once };

    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Reaches (making what is missing) the destination directory dir, checks name there and
    // the room for size bytes, and makes the work file. why tells the refusal.
    Verdict open(const StoreRules& rules, const std::string& dir, const std::string& name, std::uint64_t size,
                 std::string& why);

    // The work file, -1 when there is none (before open, after a refusal or commit).
    int fd() const { return fd_; }
    // The body now has this many bytes in the work file: starts writing them back to the
    // disk, so that no large amount of dirty pages waits for the end.
    void written(std::uint64_t bytes);
    // Gives the work file its mode and renames it over the final name. Empty when stored,
    // else the reason (and the work file is gone).
    std::string commit(mode_t mode);
    // Removes the work file, if any; the destination stays open.
    void discard();

private:
    int dir_fd_ = -1;
    int fd_ = -1;
    std::string dir_, name_, work_;  // the destination line, the final name, the work file's name
    bool no_clobber_ = false;
    bool stored_ = false;
    // Directories this store made: each one's parent (open) and name, in the order made.
    std::vector<std::pair<int, std::string>> made_;
    std::uint64_t started_ = 0;  // bytes handed to writeback so far
    std::uint64_t waited_ = 0;   // bytes known to be on the disk
};

// Bytes the destination keeps free when --min-free is not given, for a file system of
// total bytes.
std::uint64_t default_min_free(std::uint64_t total);

}  // namespace rx

#endif
