// Sizes, rates and durations in the short forms both programs print.
#include "units.h"

#include <cmath>
#include <cstdio>

namespace cli {

namespace {

constexpr const char* unit_names[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
constexpr int largest_unit = 6;

// 2^64 as a double: the first value a std::uint64_t cannot hold.
constexpr double uint64_limit = 18446744073709551616.0;

std::uint64_t to_uint64(double x) {
    const double r = std::round(x);
    return r >= uint64_limit ? UINT64_MAX : static_cast<std::uint64_t>(r);
}

}  // namespace

std::string human_size(std::uint64_t bytes) {
    char buf[32];
    if (bytes < 1024) {
        std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
        return buf;
    }
    int u = 1;
    while (u < largest_unit && bytes >> (10 * (u + 1)) != 0) ++u;

    // Integer arithmetic throughout: a double loses the low bits of sizes near 2^64, and
    // rem * 10 + unit / 2 stays below 2^64 even for EiB.
    const std::uint64_t unit = std::uint64_t{1} << (10 * u);
    const std::uint64_t whole = bytes >> (10 * u);
    const std::uint64_t rem = bytes & (unit - 1);
    const std::uint64_t tenths = whole * 10 + (rem * 10 + unit / 2) / unit;
    if (tenths < 1000) {
        std::snprintf(buf, sizeof buf, "%llu.%llu %s", static_cast<unsigned long long>(tenths / 10),
                      static_cast<unsigned long long>(tenths % 10), unit_names[u]);
        return buf;
    }
    const std::uint64_t rounded = whole + (rem >= unit / 2 ? 1 : 0);
    // EiB never gets here: 2^64 - 1 is 16 EiB.
    if (rounded >= 1024) {
        std::snprintf(buf, sizeof buf, "1.0 %s", unit_names[u + 1]);
        return buf;
    }
    std::snprintf(buf, sizeof buf, "%llu %s", static_cast<unsigned long long>(rounded),
                  unit_names[u]);
    return buf;
}

std::string human_rate(double bytes_per_sec) {
    if (!std::isfinite(bytes_per_sec) || bytes_per_sec < 0) return "-";
    return human_size(to_uint64(bytes_per_sec)) + "/s";
}

std::string clock_form(std::uint64_t secs) {
    char buf[48];
    const auto h = static_cast<unsigned long long>(secs / 3600);
    const auto m = static_cast<unsigned long long>(secs / 60 % 60);
    const auto s = static_cast<unsigned long long>(secs % 60);
    if (h == 0)
        std::snprintf(buf, sizeof buf, "%llu:%02llu", m, s);
    else
        std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", h, m, s);
    return buf;
}

std::string human_duration(double secs) {
    if (!std::isfinite(secs) || secs < 0) return "-";
    // Round before choosing the form, so 59.96 s reads "1:00" and not "60.0 s".
    const std::uint64_t tenths = to_uint64(secs * 10);
    if (tenths < 600) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%llu.%llu s", static_cast<unsigned long long>(tenths / 10),
                      static_cast<unsigned long long>(tenths % 10));
        return buf;
    }
    return clock_form(to_uint64(secs));
}

std::string grouped(std::uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

}  // namespace cli
