// The JSON format: results.json, the command line, the machine context, every run and the
// summary in one document. What the programs printed is quoted in it as it came: bytes that
// are not UTF-8 (a message cut inside a character, a program's garbage) are written as U+FFFD.
#pragma once

#include <nlohmann/json.hpp>

#include "driver/report/exporters.h"

namespace ks::driver {

nlohmann::json results_json(const ResultSet& results);
// The text of results.json: results_json(results) as dump(2) writes it, and a newline, given to
// `sink` one run at a time rather than made whole.
void results_json_text(const ResultSet& results, const TextSink& sink);

// An estimate as {"value": v or null, "interval": {"low", "high", "confidence"} or null}.
nlohmann::json estimate_json(const Estimate& e);

}  // namespace ks::driver
