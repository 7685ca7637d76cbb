// The extension's lines: the hello that both ends agree on before any file, a file's request
// with its times and mode, the receiver's answers, the offset the body starts from and the
// digests after it. The classic header and reply (wire.h) stay as they are; a peer that does
// not answer the hello gets only those.
#ifndef WIRE_EXT_H
#define WIRE_EXT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wire {

// The hello goes where a classic header has its size line: no older receiver takes it for a
// size, so it stores nothing and answers with an error or not at all.
inline constexpr std::string_view ext_magic = "CATCHR-EXT";
inline constexpr unsigned ext_version = 1;
// The features of version 1; later versions add theirs to the list.
inline constexpr std::string_view feat_verify = "verify";
inline constexpr std::string_view feat_resume = "resume";
inline constexpr std::string_view feat_times = "times";
// Files without waiting for GO, which files changed, directories (see doc/protocol.md).
inline constexpr std::string_view feat_batch = "batch";
// TLS right after the hello's answer, offered by a program that has a key; inside it the
// receiver's first line says whether it trusts the sender: PAIRED, OPEN, or PAIR and the
// code while its person is asked (see doc/protocol.md).
inline constexpr std::string_view feat_tls = "tls";
inline constexpr std::string_view word_paired = "PAIRED";
inline constexpr std::string_view word_open = "OPEN";
inline constexpr std::string_view word_pair = "PAIR";

struct Hello {
    unsigned version = ext_version;
    std::vector<std::string> features;  // as named in the line

    bool has(std::string_view feature) const;
};

// What this build speaks.
Hello our_hello();
// The whole hello a sender opens with: an empty name, an empty directory, the hello line.
std::string hello_header(const Hello& h);
// The line alone ("CATCHR-EXT 1 verify resume times"), as the receiver answers it.
std::string hello_line(const Hello& h);
// Reads a hello line; false when it is not one (a classic size line, an older receiver's
// error).
bool parse_hello(std::string_view line, Hello& h);
// What both ends use: the lower version and the features both name.
Hello agreed(const Hello& ours, const Hello& theirs);

// A file's modification time and permission bits, as its request carries them.
struct Attrs {
    std::int64_t mtime_sec = 0;
    std::uint32_t mtime_nsec = 0;  // below 1e9
    std::uint32_t mode = 0644;     // permission bits only (0 to 0777)
    bool body_now = false;         // "body=now": FROM 0, the body and SUM follow without GO
};

// A file's request: the classic three lines, then "mtime=SEC.NSEC mode=OCTAL".
std::string request(std::string_view name, std::string_view dir, std::uint64_t size, const Attrs& a);
// Reads the fourth line of a request; empty when it is one, else why not. Unknown keys are
// passed over, so later versions may add theirs.
std::string parse_attrs(std::string_view line, Attrs& a);

// The size lines of the requests that carry no file: "CHECK N" (N entries follow) and "DIR".
inline constexpr std::size_t check_mxn = 100000;
std::string check_request(std::size_t entries);
// Whether a size line is "CHECK N" with N from 1 to check_mxn.
bool parse_check(std::string_view line, std::size_t& entries);
inline constexpr std::string_view dir_size_line = "DIR";
// A directory to make (or find) and give its time and mode: empty name, its line, "DIR".
std::string dir_request(std::string_view dir, const Attrs& a);
// One entry of a CHECK: the four lines of a request.
std::string check_entry(std::string_view name, std::string_view dir, std::uint64_t size, const Attrs& a);
// The answer to a CHECK: "CHECKED N" CR, then N bytes of these.
inline constexpr char check_same = '=';
inline constexpr char check_send = '+';
std::string checked_line(std::size_t entries);
bool parse_checked(std::string_view line, std::size_t& entries);

// A line from the receiver under the extension: a tag, maybe a number or a text.
struct Answer {
    enum class Tag {
        go,      // "GO N": send the body from byte N (0: all of it; more: a kept part is that long)
        no,      // "NO TEXT": not stored, for the reason given; the next file may follow
        ok,      // "OK": stored, the digests agreed
        badsum,  // "BADSUM TEXT": the bytes stored differ from the sender's; nothing placed
        stale,   // "STALE TEXT": the kept part was not of this file; it is gone, send it all
        other,   // anything else: a receiver that broke the protocol
    };
    Tag tag = Tag::other;
    std::uint64_t offset = 0;  // for go
    std::string text;          // for no, badsum, stale (as sent: show it before printing)
};

std::string go_line(std::uint64_t offset);
// For no, badsum and stale; the text is cut so that the line fits a reply.
std::string answer_line(Answer::Tag tag, std::string_view text);
Answer parse_answer(std::string_view line);

// "FROM N": the body that follows starts at byte N of the file.
std::string from_line(std::uint64_t offset);
bool parse_from(std::string_view line, std::uint64_t& offset);

// "SUM PREFIX WHOLE", after the body: the digest of the file's first N bytes (N as in FROM)
// and of all of it.
std::string sum_line(std::string_view prefix, std::string_view whole);
bool parse_sum(std::string_view line, std::string& prefix, std::string& whole);

}  // namespace wire

#endif
