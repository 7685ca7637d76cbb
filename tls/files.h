// The files that hold a program's key and pins: in a directory only its user can change,
// read without following links, and replaced whole through a temporary file made 0600, so
// that a crash or a second process never leaves half a file in their place.
#ifndef TLS_FILES_H
#define TLS_FILES_H

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tls {

// An open descriptor, closed when it goes.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&&) = delete;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

// The directory, made 0700 (with its missing parents) when it is not there, then checked:
// a real directory, not a link, of this user, that no one else may write. Invalid with why.
Fd open_private_dir(const std::string& dir, std::string& why);

// Bits of a file's mode that refuse it: a key must be no wider than 0600, a pin file not
// writable by others.
inline constexpr mode_t key_forbidden = 077;
inline constexpr mode_t pins_forbidden = 022;

enum class Got { ok, missing, failed };
// The whole file name in the private directory dirfd (named dir in messages), checked as
// the directory is and against the forbidden mode bits; a file above max_size is refused.
Got read_private(int dirfd, const std::string& dir, const char* name, mode_t forbidden, std::size_t max_size,
                 std::string& bytes, std::string& why);

enum class Wrote { ok, there_first, failed };
// Writes bytes as name in the private directory, 0600, through a temporary file. With
// replace it takes the place of what was there; without, a file already there stays
// (there_first: another process made it meanwhile).
Wrote write_private(int dirfd, const std::string& dir, const char* name, std::string_view bytes, bool replace,
                  std::string& why);

// dir/name as shown in a message.
std::string shown_path(const std::string& dir, const char* name);

}  // namespace tls

#endif
