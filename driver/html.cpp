#include "driver/html.h"

namespace ks::driver {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence of two or more bytes at the start of `s`, or 0.
std::size_t sequence_length(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const auto continuation = [&](std::size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return i < s.size() && byte(i) >= lo && byte(i) <= hi;
  };
  const unsigned char b = byte(0);
  if (b >= 0xC2 && b <= 0xDF) {
    return continuation(1) ? 2 : 0;
  }
  if (b >= 0xE0 && b <= 0xEF) {
    // No overlong forms (E0 80..9F) and no surrogates (ED A0..BF).
    const unsigned char lo = b == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = b == 0xED ? 0x9F : 0xBF;
    return continuation(1, lo, hi) && continuation(2) ? 3 : 0;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    // No overlong forms (F0 80..8F) and nothing beyond U+10FFFF (F4 90..).
    const unsigned char lo = b == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = b == 0xF4 ? 0x8F : 0xBF;
    return continuation(1, lo, hi) && continuation(2) && continuation(3) ? 4 : 0;
  }
  return 0;
}

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
    const std::size_t n = sequence_length(text.substr(i));
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
