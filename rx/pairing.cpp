#include "pairing.h"

#include <algorithm>
#include <ctime>

#include "pins.h"

namespace rx {

namespace {

// The prompt stays on the status line this long after each showing.
constexpr auto prompt_time = std::chrono::seconds(60);

}  // namespace

std::string today() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    char day[32] = "";
    if (::localtime_r(&now, &tm)) std::strftime(day, sizeof day, "%Y-%m-%d", &tm);
    return day;
}

int Pairing::ask(const std::string& peer, const std::string& fingerprint, const std::string& code) {
    const std::size_t open = static_cast<std::size_t>(
        std::count_if(questions_.begin(), questions_.end(), [](const Question& q) { return q.verdict == Verdict::waiting; }));
    if (open >= most_waiting) return -1;
    const bool first = shown() == nullptr;
    questions_.push_back({next_id_++, peer, fingerprint, code});
    if (first) show(Clock::now());
    return questions_.back().id;
}

Pairing::Verdict Pairing::verdict(int id) const {
    for (const Question& q : questions_)
        if (q.id == id) return q.verdict;
    return Verdict::no;
}

void Pairing::withdraw(int id) {
    const Question* before = shown();
    std::erase_if(questions_, [id](const Question& q) { return q.id == id; });
    if (before && before->id == id) {
        if (shown()) show(Clock::now());
        else view_.notice("", Clock::now());
    }
}

const Pairing::Question* Pairing::shown() const {
    for (const Question& q : questions_)
        if (q.verdict == Verdict::waiting) return &q;
    return nullptr;
}

void Pairing::show(Clock::time_point now) {
    const Question& q = *shown();
    view_.line("Pairing: the sender at " + q.peer + " (key " + q.fingerprint + ") shows code " + q.code + "?");
    view_.notice("Pairing with " + q.peer + ": press y if the sender shows code " + q.code + ", n if not",
                 now + prompt_time);
}

bool Pairing::key(int key, Clock::time_point now) {
    auto it = std::find_if(questions_.begin(), questions_.end(), [](const Question& q) { return q.verdict == Verdict::waiting; });
    if (it == questions_.end()) return false;
    if (key == 'y' || key == 'Y') {
        std::string why;
        tls::TrustedSenders trusted;
        const bool kept = trusted.load(pins_dir_, why) &&
                          trusted.add(it->fingerprint, "paired with " + it->peer + " on " + today(), why);
        it->verdict = Verdict::yes;
        if (kept) view_.line("Paired with " + it->peer + ": its key is trusted from now on");
        else view_.error("paired with " + it->peer + " for this connection only: " + why);
    } else if (key == 'n' || key == 'N') {
        it->verdict = Verdict::no;
        view_.line("Pairing with " + it->peer + " refused");
    }
    if (shown()) show(now);
    else view_.notice("", now);
    return true;
}

}  // namespace rx
