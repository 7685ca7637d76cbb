// What a program remembers of its peers' keys. A sender pins the key each receiver showed
// when they first met (known_receivers: "ADDRESS:PORT FINGERPRINT" a line); a receiver lists
// the senders a person confirmed (trusted_senders: "FINGERPRINT [comment]" a line). Lines
// starting with # are comments. A line that does not read is reported with its number and
// passed over, the rest still count.
#ifndef TLS_PINS_H
#define TLS_PINS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tls {

inline constexpr char known_receivers_file[] = "known_receivers";
inline constexpr char trusted_senders_file[] = "trusted_senders";

// Whether text is a fingerprint as tls::fingerprint() writes it.
bool is_fingerprint(std::string_view text);

// One file of pins in a private directory, read whole and written whole.
class PinFile {
public:
    struct Entry {
        std::string key, value;
        std::size_t line = 0;
    };
    // Reads the file from dir (made when missing); no file yet means no entries. False with
    // why when the directory or the file may not be used or read.
    bool load(const std::string& dir, std::string& why);
    // The entry of key (the first, when a key stands twice); nullptr when none.
    const Entry* find(std::string_view key) const;
    // The lines that were passed over, each "FILE line N: why".
    const std::vector<std::string>& problems() const { return problems_; }
    // The file's name as messages show it.
    std::string shown_name() const;

protected:
    enum class Kind { receivers, senders };
    explicit PinFile(Kind kind) : kind_(kind) {}
    // Reads the file afresh (another process may have added to it), puts key's line in place
    // of its old one or at the end, and writes the file whole.
    bool put(const std::string& key, const std::string& value, std::string& why);

private:
    const char* name() const;
    // Why a line does not read ("" when it does), with its entry taken.
    std::string parse(std::string_view line, Entry& e) const;

    Kind kind_;
    std::string dir_;
    std::vector<std::string> lines_;  // as read, to be written back as they were
    std::vector<Entry> entries_;
    std::vector<std::string> problems_;
};

// The sender's pins: the key each receiver address showed.
class KnownReceivers : public PinFile {
public:
    enum class Pinned { unknown, same, changed };
    KnownReceivers() : PinFile(Kind::receivers) {}
    // peer is "ADDRESS:PORT".
    Pinned check(std::string_view peer, std::string_view fingerprint) const;
    // For a changed key: what was pinned, what came, and which line of which file to remove
    // when the change is known to be right.
    std::string changed(std::string_view peer, std::string_view fingerprint) const;
    bool add(const std::string& peer, const std::string& fingerprint, std::string& why);
};

// The receiver's list of senders it takes files from.
class TrustedSenders : public PinFile {
public:
    TrustedSenders() : PinFile(Kind::senders) {}
    bool trusted(std::string_view fingerprint) const { return find(fingerprint) != nullptr; }
    // comment (may be empty) follows the fingerprint on its line: who it is, when it came.
    bool add(const std::string& fingerprint, const std::string& comment, std::string& why);
};

}  // namespace tls

#endif
