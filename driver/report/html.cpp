#include "driver/report/html.h"

#include "driver/base/text.h"

namespace ks::driver {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '"':
          out += "&quot;";
          break;
        case '\'':
          out += "&#39;";
          break;
        case '\t':
        case '\n':
        case '\r':
          out += static_cast<char>(c);
          break;
        default:
          if (c < 0x20 || c == 0x7F) {
            out += kReplacement;
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    const std::size_t n = utf8_sequence_length(text.substr(i));
    // C1 controls (U+0080..U+009F, C2 80..9F) are no text either.
    if (n == 0 || (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
      out += kReplacement;
      i += n == 0 ? 1 : n;
      continue;
    }
    out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

}  // namespace ks::driver
