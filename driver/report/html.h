// Text for HTML pages (and the SVG inside them).
#pragma once

#include <string>
#include <string_view>

namespace ks::driver {

// `text` as HTML character data or an attribute value: & < > " ' escaped, and whatever is not
// well-formed UTF-8 (a stray byte, a cut character, an overlong form, a surrogate) replaced by
// U+FFFD, as are control characters other than tab, line feed and carriage return, which an
// HTML page may not hold.
std::string html_escape(std::string_view text);

}  // namespace ks::driver
