// JSON for --json and --frame-log: objects keep their keys in insertion order so the
// same run prints the same text.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace ctl {

using Json = nlohmann::ordered_json;

// Indented (or one line for indent < 0); text that is not UTF-8 is replaced rather than
// refused, since file names come from the user.
inline std::string JsonText(const Json &j, int indent = 2) {
  return j.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace ctl
