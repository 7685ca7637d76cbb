// A program's identity on the wire: an Ed25519 key kept in a private file, and a
// certificate made from it each time it is loaded, which only carries the key into the TLS
// handshake. Peers know each other by the fingerprint of the public key.
#ifndef TLS_KEYS_H
#define TLS_KEYS_H

#include <openssl/types.h>

#include <memory>
#include <optional>
#include <string>

namespace tls {

// The key's file in its directory: PKCS#8 PEM, unencrypted, 0600.
inline constexpr char key_file[] = "key.pem";

class Identity {
public:
    // A new key, in memory only; nothing with why when the library cannot make one.
    static std::optional<Identity> generate(std::string& why);
    // Takes a key of the PEM text (an Ed25519 key only); from names it in messages.
    static std::optional<Identity> from_pem(const std::string& pem, const std::string& from, std::string& why);

    EVP_PKEY* key() const { return key_.get(); }
    X509* certificate() const { return cert_.get(); }
    // "SHA256:" and the digest of the public key in base64 without padding.
    const std::string& fingerprint() const { return fingerprint_; }
    // The private key as PKCS#8 PEM, as its file holds it.
    std::string pem() const;

private:
    struct FreeKey {
        void operator()(EVP_PKEY* k) const;
    };
    struct FreeCert {
        void operator()(X509* c) const;
    };
    Identity() = default;
    static std::optional<Identity> adopt(EVP_PKEY* key, std::string& why);

    std::unique_ptr<EVP_PKEY, FreeKey> key_;
    std::unique_ptr<X509, FreeCert> cert_;
    std::string fingerprint_;
};

// The fingerprint of a public key (see Identity::fingerprint); "" when it has none.
std::string fingerprint(EVP_PKEY* key);

// The identity kept in dir: its key file read, or made on first use. The directory is made
// 0700 when missing; a directory or key file that is a link, belongs to another user or is
// open to others is refused, and why says which and how to mend it.
std::optional<Identity> load_or_make(const std::string& dir, std::string& why);

// Where a program keeps its key and pins: $STATE_DIRECTORY (a service's, set by systemd),
// else $XDG_CONFIG_HOME/<program>, else $HOME/.config/<program>; "" when none is set.
std::string config_dir(const std::string& program);

// The program's own identity, kept in its config_dir(); nothing, with why, when there is no
// such directory or its key cannot be had.
std::optional<Identity> own_identity(const std::string& program, std::string& why);

}  // namespace tls

#endif
