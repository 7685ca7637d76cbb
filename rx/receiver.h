// The receiver's connections: who is let in, who gives way when all are taken, and each
// connection's registration in the loop from its accept to its end.
#ifndef RX_RECEIVER_H
#define RX_RECEIVER_H

#include <memory>
#include <string>
#include <vector>

#include "loop.h"
#include "options.h"
#include "transfer.h"

namespace rx {

class Receiver {
public:
    Receiver(const Options& opt, const Rules& rules, Loop& loop, View& view);
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // A listening socket to take connections from.
    void listen_on(int lsd);
    // Before each turn of the loop: listens only while there is room; gives the longest
    // wait allowed (until the first deadline of a connection or of the view).
    int before_turn(Clock::time_point now);
    // After each turn: deadlines that passed, and connections that ended.
    void after_turn(Clock::time_point now);
    // Files arriving now.
    std::size_t arriving() const;
    // Ends every connection, telling each sender why where it can hear it, and removing the
    // work files; gives what was arriving.
    std::vector<std::string> close_all(const std::string& why);

private:
    struct Open {
        int id;  // its registration in the loop
        std::unique_ptr<Transfer> transfer;
    };

    void accept_all(int lsd, Clock::time_point now);
    Transfer* give_way(Clock::time_point now);
    bool has_room(Clock::time_point now);
    std::size_t open_from(std::uint32_t address) const;
    void reap();

    const Options& opt_;
    const Rules& rules_;
    Loop& loop_;
    View& view_;
    std::vector<Open> open_;
    std::vector<int> listening_;  // registrations of the listening sockets
};

}  // namespace rx

#endif
