// Sizes, rates and durations in the short forms both programs print.
#ifndef CLI_UNITS_H
#define CLI_UNITS_H

#include <cstdint>
#include <string>

namespace cli {

// "N B" below 1024; otherwise the largest binary unit, one decimal below 100 ("1.5 KiB",
// "99.9 MiB") and none from 100 on ("100 MiB", "1023 MiB"). A value that would round to
// 1024 of a unit is shown as "1.0" of the next one.
std::string human_size(std::uint64_t bytes);

// human_size of the rate rounded to whole bytes, then "/s"; "-" when not finite or negative.
std::string human_rate(double bytes_per_sec);

// "12.3 s" below a minute, "1:05" below an hour, "1:02:03" beyond; "-" when not finite or
// negative.
std::string human_duration(double secs);

// A count with its thousands grouped: "12,345".
std::string grouped(std::uint64_t n);

// Whole seconds as a clock: "0:07", "1:05", "1:02:03".
std::string clock_form(std::uint64_t secs);

}  // namespace cli

#endif
