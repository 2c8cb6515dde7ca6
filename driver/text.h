// Times as the driver's outputs show them.
#pragma once

#include <string>

namespace ks::driver {

// Seconds in a short human form: "812 ns", "3.41 ms", "1.20 s"; "-" for NaN.
std::string human_seconds(double s);

// An interval of seconds in the unit of its upper end: "2.91–3.12 ms", "950 ns–1.2 us" when
// the ends are far apart; "-" when either end is NaN.
std::string human_interval(double low, double high);

// A confidence level when it is not the 95 % asked for: "" at 95 % or above, else " (94%)".
std::string level_note(double confidence);

// Seconds since the epoch as an ISO 8601 UTC time: "2024-05-01T12:00:00Z".
std::string iso_time(double epoch);

// A count rounded to a whole number, grouped by thousands from five digits on: "812", "4096",
// "16 384", "-1 000 000".
std::string grouped(double count);

}  // namespace ks::driver
