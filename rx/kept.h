// Kept parts: the work file of a large file sent under the extension is named after its final
// name, so that a send that broke can go on where it stopped. Beside it a small text tells
// which version of which file it holds; the receiver removes parts nobody came back for.
#ifndef RX_KEPT_H
#define RX_KEPT_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rx {

// Smaller files are simply sent again.
inline constexpr std::uint64_t kept_min_size = 1 << 20;
// A kept length is offered in whole pieces of this size: the last bytes written before a
// break are the least sure to be whole.
inline constexpr std::uint64_t kept_unit = 64 << 10;

// ".catchr-" and 16 hex digits of the final name's hash, then ".part" or ".info.part".
std::string kept_part_name(const std::string& final_name);
std::string kept_info_name(const std::string& final_name);

// Which version of which file a part holds.
struct PartInfo {
    std::uint64_t size = 0;
    std::int64_t mtime_sec = 0;
    std::uint32_t mtime_nsec = 0;
    std::string name;  // the final name

    bool operator==(const PartInfo&) const = default;
};

std::string info_text(const PartInfo& info);
bool parse_info(const std::string& text, PartInfo& info);
// Written to a fresh work name first and renamed over, so that a reader never sees half.
bool write_info(int dir_fd, const std::string& info_name, const PartInfo& info);
bool read_info(int dir_fd, const std::string& info_name, PartInfo& info);

// A part this connection holds (locked: no other connection touches it while it is open).
struct Claim {
    int fd = -1;             // -1: no part could be had (held by another, or not ours)
    std::uint64_t kept = 0;  // bytes of this version to resume from
    std::optional<std::uint64_t> stale;  // the length of a part of another version, now emptied
};
Claim claim_part(int dir_fd, const PartInfo& want);

// Remembers when each directory (by device and inode) was last swept.
class SweepMemory {
public:
    // Whether dir_fd is due (not swept for an hour); counts it as swept from now.
    bool due(int dir_fd, std::chrono::steady_clock::time_point now);

private:
    std::map<std::pair<dev_t, ino_t>, std::chrono::steady_clock::time_point> last_;
};

// Removes the parts in dir_fd not written for days (skipping those a connection holds);
// gives a line for each. where is the directory as the sender named it ("" for the
// receiving directory).
std::vector<std::string> sweep_parts(int dir_fd, const std::string& where, std::uint32_t days, std::time_t now);

}  // namespace rx

#endif
