#include "driver/base/json_input.h"

#include <fmt/format.h>

namespace ks::driver {

nlohmann::json parse_json(std::string_view text, int max_depth) {
  // The depth is checked as the parser meets each opening bracket, before anything deeper is
  // built.
  const nlohmann::json::parser_callback_t bound =
      [max_depth](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
        if ((event == nlohmann::json::parse_event_t::object_start ||
             event == nlohmann::json::parse_event_t::array_start) &&
            depth >= max_depth) {
          throw JsonTooDeep(fmt::format("nested deeper than {} levels", max_depth));
        }
        return true;
      };
  return nlohmann::json::parse(text.begin(), text.end(), bound);
}

}  // namespace ks::driver
