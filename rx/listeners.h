// The receiver's listening sockets: one per IPv4 address of the host but 127.0.0.1,
// following the addresses as they come (a receiver started before the network is up).
#ifndef RX_LISTENERS_H
#define RX_LISTENERS_H

#include <netinet/in.h>
#include <poll.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "failure.h"
#include "view.h"

namespace rx {

class Listeners {
public:
    // verbose: failures carry the library's whole trail too.
    Listeners(std::uint16_t port, View& view, bool verbose = false);
    ~Listeners();
    Listeners(const Listeners&) = delete;
    Listeners& operator=(const Listeners&) = delete;

    // Listens on every address the host has now, printing a line for each, and hands each
    // listening socket to listening (now, and for every address that comes later). False
    // when one of them could not be listened on (the errors are printed).
    bool start(std::function<void(int sd)> listening);
    // The host's addresses changed (the watch descriptor was readable): listens on the new
    // ones. A failure now is printed and the others go on.
    void on_address_change();

    // The descriptor that becomes readable when the host's addresses change; -1 for none.
    int watch_sd() const { return watch_sd_; }
    // The first address listened on, dotted; empty while there is none.
    std::string first_address() const;

private:
    bool listen_on_new_addresses(bool initial);
    std::string cannot_listen(const cli::Failure& f, const sockaddr_in& sai) const;

    std::uint16_t port_;
    View& view_;
    std::vector<in_addr_t> addrs_;  // listened on, in the order they were found
    std::vector<int> sds_;          // their sockets
    int watch_sd_ = -1;
    std::function<void(int sd)> listening_;
    bool said_waiting_ = false;
    bool verbose_;
};

}  // namespace rx

#endif
