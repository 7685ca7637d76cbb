// -u: one CHECK exchange for the whole list before anything is sent. The entries go in
// requests of at most wire::check_mxn, all of them before the first answer is read (what the
// receiver answers meanwhile is taken in while they go), and each answer is a byte an entry.
#include "session.h"

namespace tx {

namespace {

using What = Outcome::What;

// The answer to a CHECK may take 1 s more for each this many entries.
constexpr std::size_t check_wait_step = 10000;

// A name or directory line that a request cannot carry is not asked about: sending the file
// says why it cannot go.
bool can_ask(const Item& item) {
    return item.name.find_first_of("\r\n") == std::string::npos &&
           item.destdir.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

bool Session::check(const std::vector<Item>& files, std::string& marks, Outcome& o) {
    marks.assign(files.size(), wire::check_send);
    if (speaks() != Speaks::batch || (!conn_.open() && say_hello(o) != Hello::agreed)) return false;
    std::vector<std::size_t> asked;
    if (send_checks(files, asked, o) && read_checks(asked, marks, o)) return true;
    conn_.close();
    return false;
}

bool Session::send_checks(const std::vector<Item>& files, std::vector<std::size_t>& asked, Outcome& o) {
    for (std::size_t i = 0; i < files.size(); ++i)
        if (can_ask(files[i])) asked.push_back(i);
    std::string chunk;
    for (std::size_t at = 0; at < asked.size(); at += wire::check_mxn) {
        const std::size_t n = std::min(wire::check_mxn, asked.size() - at);
        chunk = wire::check_request(n);
        for (std::size_t k = at; k < at + n; ++k) {
            const Item& f = files[asked[k]];
            chunk += wire::check_entry(f.name, f.destdir, f.size, f.attrs);
        }
        if (!lines_.send(conn_.pipe(), chunk, o)) return false;
    }
    return true;
}

bool Session::read_checks(const std::vector<std::size_t>& asked, std::string& marks, Outcome& o) {
    std::string answer;
    for (std::size_t at = 0; at < asked.size(); at += wire::check_mxn) {
        const std::size_t n = std::min(wire::check_mxn, asked.size() - at);
        const auto wait = rules_.answer_wait + std::chrono::seconds(n / check_wait_step);
        std::size_t said = 0;
        if (!next_line(wait, o)) return false;
        cli::Failure f;
        if (wire::parse_checked(last_line_, said) && said == n) {
            if (!got(lines_.bytes(conn_.pipe(), n, wait, answer, f), f, o)) return false;
            if (answer.find_first_not_of({wire::check_same, wire::check_send}) == std::string::npos) {
                for (std::size_t k = 0; k < n; ++k) marks[asked[at + k]] = answer[k];
                continue;
            }
            last_line_ += " " + answer.substr(0, 40);
        }
        o.what = What::protocol_error;
        o.reply = last_line_;
        return false;
    }
    return true;
}

}  // namespace tx
