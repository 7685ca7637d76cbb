// Pin files: strict reading line by line, lookups, and additions written whole.
#include "pins.h"

#include <arpa/inet.h>

#include <algorithm>

#include "files.h"
#include "shown.h"

namespace tls {

namespace {

constexpr std::string_view fingerprint_prefix = "SHA256:";
// 32 bytes of digest are 43 base64 characters without padding; the last carries 4 bits,
// so only these 16 can stand there.
constexpr std::size_t fingerprint_chars = 43;
constexpr std::string_view base64_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view base64_last_chars = "AEIMQUYcgkosw048";
constexpr std::size_t pins_file_mxsz = 1 << 20;
constexpr std::string_view blanks = " \t";

std::string_view trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

// "ADDRESS:PORT" with a dotted IPv4 address as inet_ntop writes it and a port from 1 to 65535.
bool is_peer(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    const std::string address(text.substr(0, colon));
    const std::string_view port = text.substr(colon + 1);
    in_addr a{};
    char back[INET_ADDRSTRLEN];
    if (inet_pton(AF_INET, address.c_str(), &a) != 1 || !inet_ntop(AF_INET, &a, back, sizeof back) || address != back)
        return false;
    if (port.empty() || port.size() > 5 || port[0] == '0' || port.find_first_not_of("0123456789") != port.npos)
        return false;
    return std::stoul(std::string(port)) <= 65535;
}

const char* header(bool receivers) {
    return receivers ? "# ADDRESS:PORT FINGERPRINT: the key each receiver showed when it was first met\n"
                     : "# FINGERPRINT [comment]: the senders this receiver takes files from\n";
}

}  // namespace

bool is_fingerprint(std::string_view text) {
    if (text.substr(0, fingerprint_prefix.size()) != fingerprint_prefix) return false;
    const std::string_view b64 = text.substr(fingerprint_prefix.size());
    return b64.size() == fingerprint_chars && b64.find_first_not_of(base64_chars) == std::string_view::npos &&
           base64_last_chars.find(b64.back()) != std::string_view::npos;
}

const char* PinFile::name() const { return kind_ == Kind::receivers ? known_receivers_file : trusted_senders_file; }

std::string PinFile::shown_name() const { return shown_path(dir_, name()); }

std::string PinFile::parse(std::string_view line, Entry& e) const {
    const std::string_view rest = trimmed(line);
    const auto gap = rest.find_first_of(blanks);
    e.key = std::string(rest.substr(0, gap));
    e.value = gap == std::string_view::npos ? "" : std::string(trimmed(rest.substr(gap)));
    const std::string key = "\"" + cli::shown(e.key) + "\"";
    if (kind_ == Kind::senders)
        return is_fingerprint(e.key) ? "" : key + " is not a fingerprint (SHA256: and 43 characters)";
    if (!is_peer(e.key)) return key + " is not an address and port (as 192.0.2.7:9500)";
    if (e.value.empty()) return "no fingerprint after " + key;
    if (e.value.find_first_of(blanks) != std::string::npos) return "more than an address and a fingerprint";
    return is_fingerprint(e.value) ? "" : "\"" + cli::shown(e.value) + "\" is not a fingerprint (SHA256: and 43 characters)";
}

bool PinFile::load(const std::string& dir, std::string& why) {
    dir_ = dir;
    lines_.clear();
    entries_.clear();
    problems_.clear();
    const Fd d = open_private_dir(dir, why);
    std::string text;
    const Got got = d ? read_private(d.get(), dir, name(), pins_forbidden, pins_file_mxsz, text, why) : Got::failed;
    if (got != Got::ok) return got == Got::missing;
    for (std::size_t at = 0; at < text.size();) {
        const auto end = std::min(text.find('\n', at), text.size());
        lines_.emplace_back(text, at, end - at);
        at = end + 1;
    }
    for (std::size_t n = 1; n <= lines_.size(); ++n) {
        const std::string_view line = trimmed(lines_[n - 1]);
        if (line.empty() || line[0] == '#') continue;
        Entry e;
        std::string problem = parse(line, e);
        const Entry* first = problem.empty() ? find(e.key) : nullptr;
        if (first) problem = "a second line for \"" + cli::shown(e.key) + "\" (line " + std::to_string(first->line) + " counts)";
        e.line = n;
        if (problem.empty()) entries_.push_back(std::move(e));
        else problems_.push_back(shown_name() + " line " + std::to_string(n) + ": " + problem);
    }
    return true;
}

const PinFile::Entry* PinFile::find(std::string_view key) const {
    for (const Entry& e : entries_)
        if (e.key == key) return &e;
    return nullptr;
}

bool PinFile::put(const std::string& key, const std::string& value, std::string& why) {
    if (!load(dir_, why)) return false;
    const std::string line = value.empty() ? key : key + " " + value;
    const Entry* old = find(key);
    if (old) lines_[old->line - 1] = line;
    else lines_.push_back(line);
    std::string text = lines_.size() == 1 && !old ? header(kind_ == Kind::receivers) : "";
    for (const std::string& l : lines_) text += l + "\n";
    std::string dir_why;
    const Fd d = open_private_dir(dir_, dir_why);
    if (!d) {
        why = dir_why;
        return false;
    }
    return write_private(d.get(), dir_, name(), text, true, why) == Wrote::ok && load(dir_, why);
}

KnownReceivers::Pinned KnownReceivers::check(std::string_view peer, std::string_view fingerprint) const {
    const Entry* e = find(peer);
    return !e ? Pinned::unknown : e->value == fingerprint ? Pinned::same : Pinned::changed;
}

std::string KnownReceivers::changed(std::string_view peer, std::string_view fingerprint) const {
    const Entry* e = find(peer);
    if (!e) return "";
    return "the receiver at " + cli::shown(std::string(peer)) + " shows the key " + cli::shown(std::string(fingerprint)) +
           ", not the one it showed before (" + e->value + "): nothing is sent. If its key was really made anew, " +
           "remove line " + std::to_string(e->line) + " of " + shown_name() + " to meet it again";
}

bool KnownReceivers::add(const std::string& peer, const std::string& fingerprint, std::string& why) {
    if (!is_peer(peer) || !is_fingerprint(fingerprint)) {
        why = "not a receiver and its key: \"" + cli::shown(peer) + " " + cli::shown(fingerprint) + "\"";
        return false;
    }
    return put(peer, fingerprint, why);
}

bool TrustedSenders::add(const std::string& fingerprint, const std::string& comment, std::string& why) {
    if (!is_fingerprint(fingerprint) || cli::has_control(comment)) {
        why = "not a fingerprint and a comment of one line: \"" + cli::shown(fingerprint + " " + comment) + "\"";
        return false;
    }
    return put(fingerprint, std::string(trimmed(comment)), why);
}

}  // namespace tls
