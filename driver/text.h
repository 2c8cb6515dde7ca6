// Times as the driver's outputs show them.
#pragma once

#include <string>

namespace ks::driver {

// Seconds in a short human form: "812 ns", "3.41 ms", "1.20 s"; "-" for NaN.
std::string human_seconds(double s);

// Seconds since the epoch as an ISO 8601 UTC time: "2024-05-01T12:00:00Z".
std::string iso_time(double epoch);

// A count rounded to a whole number, grouped by thousands from five digits on: "812", "4096",
// "16 384", "-1 000 000".
std::string grouped(double count);

}  // namespace ks::driver
