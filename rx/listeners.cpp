// Listening on the host's addresses, and on those that appear later (a kernel notice on a
// routing socket says when, so nothing is polled).
#include "listeners.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "lb.h"

namespace rx {

namespace {

// More addresses than any host of a LAN has.
constexpr std::uint16_t host_addr_mxc = 256;

// A socket that turns readable when an IPv4 address is added or removed; -1 when the
// kernel offers none (then the addresses found at start are all there is).
int address_watch() {
    const int sd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (sd < 0) return -1;
    sockaddr_nl nl{};
    nl.nl_family = AF_NETLINK;
    nl.nl_groups = RTMGRP_IPV4_IFADDR;
    if (::bind(sd, reinterpret_cast<sockaddr*>(&nl), sizeof nl) != 0) {
        ::close(sd);
        return -1;
    }
    return sd;
}

}  // namespace

Listeners::Listeners(std::uint16_t port, View& view) : port_(port), view_(view), watch_sd_(address_watch()) {}

Listeners::~Listeners() {
    for (int sd : sds_) SCK_CL(sd);
    if (watch_sd_ >= 0) ::close(watch_sd_);
}

bool Listeners::start(std::function<void(int sd)> listening) {
    listening_ = std::move(listening);
    return listen_on_new_addresses();
}

void Listeners::on_address_change() {
    // The notices themselves say nothing the next look at the addresses does not.
    char drain[8192];
    while (::recv(watch_sd_, drain, sizeof drain, MSG_DONTWAIT) > 0) {
    }
    listen_on_new_addresses();
}

bool Listeners::listen_on_new_addresses() {
    std::vector<sockaddr_in> table(host_addr_mxc);
    const std::uint16_t cnt = SCK_HOST_ADDRS(table.data(), host_addr_mxc);
    bool all_ok = !err_;
    if (err_) view_.error(ERR_S());
    for (std::uint16_t i = 0; i < cnt; ++i) {
        sockaddr_in& sai = table[i];
        const in_addr_t address = sai.sin_addr.s_addr;
        // The receiver never listens on the loopback address itself.
        if (address == sck_lcl_in_addr.s_addr) continue;
        if (std::find(addrs_.begin(), addrs_.end(), address) != addrs_.end()) continue;
        sai.sin_port = htons(port_);
        view_.line(std::string("Listen at ") + SAI_IP(&sai, 0, 0) + ":" + std::to_string(port_));
        const int sd = HOST_SAI_SD(&sai, 0);
        if (err_) {
            view_.error(ERR_S());
            all_ok = false;
            continue;
        }
        addrs_.push_back(address);
        sds_.push_back(sd);
        if (listening_) listening_(sd);
    }
    if (sds_.empty() && !said_waiting_ && all_ok) {
        view_.line("No address to listen on yet (never 127.0.0.1): waiting for one");
        said_waiting_ = true;
    }
    return all_ok;
}

}  // namespace rx
