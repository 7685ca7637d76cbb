// The extension's lines, built and read strictly: a line that is not exactly what it should
// be is not taken.
#include "ext.h"

#include <algorithm>
#include <cstdio>

#include "digest.h"
#include "wire.h"

namespace wire {

namespace {

// Splits at single spaces; empty words (two spaces) stay, so that they can be refused.
std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    for (std::size_t at = 0;;) {
        const std::size_t sp = line.find(' ', at);
        out.push_back(line.substr(at, sp == std::string_view::npos ? sp : sp - at));
        if (sp == std::string_view::npos) return out;
        at = sp + 1;
    }
}

// A decimal number as parse_size reads it: digits only, no leading zero.
bool number(std::string_view text, std::uint64_t& n) { return parse_size(text, n).empty(); }

bool is_digest(std::string_view text) {
    return text.size() == digest_hex_len &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

constexpr std::string_view tag_names[] = {"GO", "NO", "OK", "BADSUM", "STALE"};

}  // namespace

bool Hello::has(std::string_view feature) const {
    return std::find(features.begin(), features.end(), feature) != features.end();
}

Hello our_hello() {
    return {ext_version,
            {std::string(feat_verify), std::string(feat_resume), std::string(feat_times), std::string(feat_batch)}};
}

std::string hello_line(const Hello& h) {
    std::string line = std::string(ext_magic) + " " + std::to_string(h.version);
    for (const std::string& f : h.features) line += " " + f;
    return line;
}

std::string hello_header(const Hello& h) { return std::string(2, line_end) + hello_line(h) + line_end; }

bool parse_hello(std::string_view line, Hello& h) {
    const auto w = words(line);
    std::uint64_t version = 0;
    if (w.size() < 2 || w[0] != ext_magic || !number(w[1], version) || version == 0 || version > 0xFFFF) return false;
    h.version = static_cast<unsigned>(version);
    h.features.clear();
    for (std::size_t i = 2; i < w.size(); ++i) {
        if (w[i].empty()) return false;
        h.features.emplace_back(w[i]);
    }
    return true;
}

Hello agreed(const Hello& ours, const Hello& theirs) {
    Hello both{std::min(ours.version, theirs.version), {}};
    for (const std::string& f : ours.features)
        if (theirs.has(f)) both.features.push_back(f);
    return both;
}

namespace {

std::string attrs_line(const Attrs& a) {
    char attrs[80];
    std::snprintf(attrs, sizeof attrs, "mtime=%lld.%09u mode=%o%s", static_cast<long long>(a.mtime_sec), a.mtime_nsec,
                  a.mode & 0777u, a.body_now ? " body=now" : "");
    return attrs + std::string(1, line_end);
}

// "WORD N" with N from 1 to mx.
bool counted(std::string_view line, std::string_view word, std::size_t mx, std::size_t& n) {
    std::uint64_t value = 0;
    if (!line.starts_with(word) || line.size() <= word.size() || line[word.size()] != ' ' ||
        !number(line.substr(word.size() + 1), value) || value == 0 || value > mx)
        return false;
    n = static_cast<std::size_t>(value);
    return true;
}

}  // namespace

std::string request(std::string_view name, std::string_view dir, std::uint64_t size, const Attrs& a) {
    return header(name, dir, size) + attrs_line(a);
}

std::string check_entry(std::string_view name, std::string_view dir, std::uint64_t size, const Attrs& a) {
    Attrs plain = a;
    plain.body_now = false;
    return request(name, dir, size, plain);
}

std::string check_request(std::size_t entries) {
    return std::string(2, line_end) + "CHECK " + std::to_string(entries) + line_end + "mtime=0.000000000 mode=0" + line_end;
}

bool parse_check(std::string_view line, std::size_t& entries) { return counted(line, "CHECK", check_mxn, entries); }

std::string dir_request(std::string_view dir, const Attrs& a) {
    Attrs plain = a;
    plain.body_now = false;
    return std::string(1, line_end) + std::string(dir) + line_end + std::string(dir_size_line) + line_end + attrs_line(plain);
}

std::string checked_line(std::size_t entries) { return "CHECKED " + std::to_string(entries) + line_end; }

bool parse_checked(std::string_view line, std::size_t& entries) {
    return counted(line, "CHECKED", check_mxn, entries);
}

std::string parse_attrs(std::string_view line, Attrs& a) {
    bool have_mtime = false, have_mode = false;
    for (const std::string_view word : words(line)) {
        const auto eq = word.find('=');
        if (eq == std::string_view::npos) return "an attribute without a value";
        const std::string_view key = word.substr(0, eq), value = word.substr(eq + 1);
        if (key == "mtime") {
            const bool negative = value.starts_with('-');
            const auto dot = value.find('.');
            std::uint64_t sec = 0, nsec = 0;
            if (dot == std::string_view::npos || value.size() - dot - 1 != 9 ||
                !number(value.substr(negative, dot - negative), sec) || sec > INT64_MAX ||
                value.substr(dot + 1).find_first_not_of("0123456789") != std::string_view::npos)
                return "a bad modification time";
            for (const char c : value.substr(dot + 1)) nsec = nsec * 10 + static_cast<unsigned>(c - '0');
            a.mtime_sec = negative ? -static_cast<std::int64_t>(sec) : static_cast<std::int64_t>(sec);
            a.mtime_nsec = static_cast<std::uint32_t>(nsec);
            have_mtime = true;
        } else if (key == "mode") {
            if (value.empty() || value.size() > 4 || value.find_first_not_of("01234567") != std::string_view::npos)
                return "a bad mode";
            a.mode = static_cast<std::uint32_t>(std::stoul(std::string(value), nullptr, 8)) & 0777u;
            have_mode = true;
        } else if (key == "body") {
            if (value != "now") return "a bad body key";
            a.body_now = true;
        }
    }
    if (!have_mtime || !have_mode) return "the modification time or the mode is missing";
    return "";
}

std::string go_line(std::uint64_t offset) { return "GO " + std::to_string(offset) + line_end; }

std::string answer_line(Answer::Tag tag, std::string_view text) {
    const std::string_view name = tag_names[static_cast<int>(tag)];
    std::string line = std::string(name);
    if (!text.empty()) line += " " + std::string(text.substr(0, reply_mxsz - name.size() - 1));
    return line + line_end;
}

Answer parse_answer(std::string_view line) {
    Answer a;
    const auto sp = line.find(' ');
    const std::string_view tag = line.substr(0, sp);
    const std::string_view rest = sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1);
    if (tag == "GO") {
        if (number(rest, a.offset)) a.tag = Answer::Tag::go;
    } else if (tag == "OK" && sp == std::string_view::npos) {
        a.tag = Answer::Tag::ok;
    } else {
        for (const auto t : {Answer::Tag::no, Answer::Tag::badsum, Answer::Tag::stale})
            if (tag == tag_names[static_cast<int>(t)]) a.tag = t;
        a.text = rest;
    }
    return a;
}

std::string from_line(std::uint64_t offset) { return "FROM " + std::to_string(offset) + line_end; }

bool parse_from(std::string_view line, std::uint64_t& offset) {
    return line.starts_with("FROM ") && number(line.substr(5), offset);
}

std::string sum_line(std::string_view prefix, std::string_view whole) {
    return "SUM " + std::string(prefix) + " " + std::string(whole) + line_end;
}

bool parse_sum(std::string_view line, std::string& prefix, std::string& whole) {
    const auto w = words(line);
    if (w.size() != 3 || w[0] != "SUM" || !is_digest(w[1]) || !is_digest(w[2])) return false;
    prefix = w[1];
    whole = w[2];
    return true;
}

}  // namespace wire
