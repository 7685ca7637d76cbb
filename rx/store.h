// Where one received file is stored: its destination directory, reached once from the
// receiving directory and kept open, and a work file beside the final name that is renamed
// over it when the body is complete. No name is resolved twice and no link is followed
// where the rules forbid it.
#ifndef RX_STORE_H
#define RX_STORE_H

#include <sys/types.h>

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kept.h"

namespace rx {

// The receiver's write policy, as every store applies it.
struct StoreRules {
    int root_fd = -1;          // the receiving directory, opened once at start-up
    bool confine = false;      // nothing outside root_fd, no symbolic link on the way
    bool no_clobber = false;   // an existing name is never replaced
    // Bytes a store leaves free on the destination's file system for everyone else; unset:
    // 1 % of that file system or 1 GiB, whichever is smaller.
    std::optional<std::uint64_t> min_free;
    // Kept parts not written for this many days are removed (0: none is kept at all).
    std::uint32_t keep_days = 7;
    // When each destination was last swept of old kept parts.
    std::shared_ptr<SweepMemory> sweeps = std::make_shared<SweepMemory>();
};

// Work files are named so: hidden, and in a form that no ordinary file takes.
inline constexpr char work_prefix[] = ".catchr-";
inline constexpr char work_suffix[] = ".part";

// A file's time as the system keeps it: seconds and nanoseconds.
using FileTime = decltype(stat::st_mtim);

// A name for a work file that nobody can guess.
std::string work_name();

// The last destination a connection reached, kept open for its next file or entry that
// names the same directory line: a batch sends many files to one directory, and the walk
// was checked against the rules when it was made.
class DirCache {
public:
    DirCache() = default;
    ~DirCache();
    DirCache(const DirCache&) = delete;
    DirCache& operator=(const DirCache&) = delete;

    // The directory of that line, still open and not removed since; -1 when not known.
    int find(const std::string& line);
    // Takes fd as the directory of line.
    void keep(const std::string& line, int fd);
    // A line found missing is remembered as such until forget_missing(): the entries of one
    // CHECK ask about the same missing directory many times.
    void note_missing(const std::string& line);
    bool missing(const std::string& line) const { return missing_ && line == line_; }
    void forget_missing();

private:
    void close_fd();

    std::string line_;
    int fd_ = -1;
    bool missing_ = false;
};

// Whether a regular file name stands in dir with that size and modification time to the
// nanosecond. dir is reached as a store reaches it, under the same rules, but nothing is
// made: a missing directory, a link where the rules forbid one or anything else there all
// say no.
bool same_file(const StoreRules& rules, DirCache& dirs, const std::string& dir, const std::string& name,
               std::uint64_t size, const FileTime& mtime);

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
    // the room for size bytes, and makes the work file. why tells the refusal. With a
    // version (a large file under the extension), the work file is the kept part of that
    // name, and what it holds of that version can be resumed.
    // With dirs, a destination reached before on the same connection is taken from there.
    Verdict open(const StoreRules& rules, const std::string& dir, const std::string& name, std::uint64_t size,
                 std::string& why, const PartInfo* version = nullptr, DirCache* dirs = nullptr);
    // Reaches dir alone, making what is missing; what it made stays though no file comes.
    // False with why when it cannot.
    bool open_dir(const StoreRules& rules, const std::string& dir, std::string& why, DirCache* dirs = nullptr);
    // The destination, once reached.
    int dir_fd() const { return dir_fd_; }
    // Adds the directories this store made (device and inode) to made.
    void made_ids(std::set<std::pair<dev_t, ino_t>>& made) const;
    // Lines to print about the destination's kept parts (a stale one, old ones removed).
    const std::vector<std::string>& notes() const { return notes_; }

    // The work file, -1 when there is none (before open, after a refusal or commit).
    int fd() const { return fd_; }
    // Bytes of the file already in the work file, kept from an earlier send.
    std::uint64_t kept() const { return kept_; }
    // The sender sends all of it after all: what was kept goes.
    void restart();
    // The connection broke: a kept part that holds any byte stays for a later send (the
    // work file is closed, and lock and all are left). Gives its length, 0 when nothing stays.
    std::uint64_t keep();
    // The body now has this many bytes in the work file: starts writing them back to the
    // disk, so that no large amount of dirty pages waits for the end.
    void written(std::uint64_t bytes);
    // Gives the work file its mode and renames it over the final name. Empty when stored,
    // else the reason (and the work file is gone).
    // With mtime, the file gets that modification time too.
    std::string commit(mode_t mode, const FileTime* mtime = nullptr);
    // Removes the work file, if any; the destination stays open.
    void discard();

private:
    bool reach(const StoreRules& rules, const std::string& dir, std::string& why, DirCache* dirs);
    bool name_free(const StoreRules& rules, const std::string& name, std::string& why);
    void take_kept_part(const PartInfo& version);
    Verdict room(const StoreRules& rules, std::uint64_t size, std::string& why);
    bool make_work_file(const std::string& dir, std::string& why);

    int dir_fd_ = -1;
    bool own_dir_ = true;  // false: dir_fd_ belongs to a DirCache
    int fd_ = -1;
    std::string dir_, name_, work_;  // the destination line, the final name, the work file's name
    std::string info_;               // the kept part's description, when the work file is one
    std::uint64_t kept_ = 0;
    std::uint64_t left_ = 0;         // a kept part's length when the connection broke
    std::vector<std::string> notes_;
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
