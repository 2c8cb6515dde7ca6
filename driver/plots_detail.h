// What the files of the plots share. The rest of the driver includes plots.h.
#pragma once

#include <string>

namespace ks::driver::plots_detail {

// A single-quoted gnuplot string: a quote inside is doubled.
inline std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    q += c == '\'' ? std::string("''") : std::string(1, c);
  }
  return q + "'";
}

}  // namespace ks::driver::plots_detail
