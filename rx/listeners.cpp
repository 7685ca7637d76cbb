// Listening on the host's addresses, and on those that appear later (a kernel notice on a
// routing socket says when, so nothing is polled).
#include "listeners.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "failure.h"
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

Listeners::Listeners(std::uint16_t port, View& view, bool verbose)
    : port_(port), view_(view), watch_sd_(address_watch()), verbose_(verbose) {}

Listeners::~Listeners() {
    for (int sd : sds_) SCK_CL(sd);
    if (watch_sd_ >= 0) ::close(watch_sd_);
}

bool Listeners::start(std::function<void(int sd)> listening) {
    listening_ = std::move(listening);
    return listen_on_new_addresses(true);
}

std::string Listeners::first_address() const {
    if (addrs_.empty()) return "";
    in_addr a{addrs_.front()};
    char dotted[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &a, dotted, sizeof dotted);
    return dotted;
}

void Listeners::on_address_change() {
    // The notices themselves say nothing the next look at the addresses does not.
    char drain[8192];
    while (::recv(watch_sd_, drain, sizeof drain, MSG_DONTWAIT) > 0) {
    }
    listen_on_new_addresses(false);
}

// Why an address cannot be listened on, in words that say what to do.
std::string Listeners::cannot_listen(const cli::Failure& f, const sockaddr_in& sai) const {
    const std::string port = std::to_string(port_);
    std::string why;
    if (f.sys_errno == EADDRINUSE) why = "port " + port + " is in use: is another catchr running? try -p";
    else if (f.sys_errno == EACCES) why = "port " + port + " needs more privileges than this user has: try -p with a port above 1023";
    else if (f.sys_errno == EADDRNOTAVAIL) why = "the address is gone";
    else return "Cannot listen at " + std::string(SAI_IP(&sai, 1, 0)) + ": " + f.text;
    return "Cannot listen at " + std::string(SAI_IP(&sai, 1, 0)) + ": " + why + (verbose_ ? " (" + f.text + ")" : "");
}

// Listens on the addresses not listened on yet. At start-up it is all or nothing: when one
// fails, none is kept and no "Listen at" line is printed, only why. Later, each address that
// comes is taken on its own.
bool Listeners::listen_on_new_addresses(bool initial) {
    std::vector<sockaddr_in> table(host_addr_mxc);
    const std::uint16_t cnt = SCK_HOST_ADDRS(table.data(), host_addr_mxc);
    if (err_) {
        view_.error(cli::Failure::from_library().text);
        return false;
    }
    std::vector<std::pair<sockaddr_in, int>> opened;
    bool all_ok = true;
    for (std::uint16_t i = 0; i < cnt; ++i) {
        sockaddr_in& sai = table[i];
        const in_addr_t address = sai.sin_addr.s_addr;
        // The receiver never listens on the loopback address itself.
        if (address == sck_lcl_in_addr.s_addr) continue;
        if (std::find(addrs_.begin(), addrs_.end(), address) != addrs_.end()) continue;
        sai.sin_port = htons(port_);
        const int sd = HOST_SAI_SD(&sai, 0);
        if (err_) {
            const std::string line = cannot_listen(cli::Failure::from_library(), sai);
            if (all_ok || line.find("is in use") == std::string::npos) view_.error(line);
            all_ok = false;
            continue;
        }
        opened.emplace_back(sai, sd);
    }
    if (initial && !all_ok) {
        for (const auto& [sai, sd] : opened) SCK_CL(sd);
        return false;
    }
    for (const auto& [sai, sd] : opened) {
        view_.line(std::string("Listen at ") + SAI_IP(&sai, 0, 0) + ":" + std::to_string(port_));
        addrs_.push_back(sai.sin_addr.s_addr);
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
