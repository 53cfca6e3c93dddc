#include "json.h"

#include <cmath>
#include <cstdio>

namespace ctl {

std::string JsonQuote(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

std::string Json::Dump(int indent) const {
  std::string pad(indent + 2, ' ');
  switch (type_) {
    case Type::Null:
      return "null";
    case Type::Bool:
      return int_ ? "true" : "false";
    case Type::Int:
      return std::to_string(int_);
    case Type::Real: {
      if (!std::isfinite(real_)) return "null";
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.6g", real_);
      return buf;
    }
    case Type::String:
      return JsonQuote(string_);
    case Type::Array:
    case Type::Object: {
      bool object = type_ == Type::Object;
      if (items_.empty()) return object ? "{}" : "[]";
      std::string out = object ? "{\n" : "[\n";
      for (size_t i = 0; i < items_.size(); ++i) {
        out += pad;
        if (object) out += JsonQuote(items_[i].first) + ": ";
        out += items_[i].second.Dump(indent + 2);
        out += i + 1 < items_.size() ? ",\n" : "\n";
      }
      return out + std::string(indent, ' ') + (object ? "}" : "]");
    }
  }
  return "null";
}

}  // namespace ctl
