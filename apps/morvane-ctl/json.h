// A small JSON value for --json output: objects keep their keys in insertion order so
// the same run prints the same text.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ctl {

class Json {
 public:
  enum class Type { Null, Bool, Int, Real, String, Array, Object };

  Json() = default;
  Json(bool b) : type_(Type::Bool), int_(b) {}
  Json(int v) : type_(Type::Int), int_(v) {}
  Json(unsigned v) : type_(Type::Int), int_(v) {}
  Json(long v) : type_(Type::Int), int_(v) {}
  Json(unsigned long v) : type_(Type::Int), int_(static_cast<int64_t>(v)) {}
  Json(long long v) : type_(Type::Int), int_(v) {}
  Json(unsigned long long v) : type_(Type::Int), int_(static_cast<int64_t>(v)) {}
  Json(double v) : type_(Type::Real), real_(v) {}
  Json(const char *s) : type_(Type::String), string_(s) {}
  Json(std::string s) : type_(Type::String), string_(std::move(s)) {}

  static Json Array() {
    Json j;
    j.type_ = Type::Array;
    return j;
  }
  static Json Object() {
    Json j;
    j.type_ = Type::Object;
    return j;
  }

  Json &Add(Json value) {
    items_.emplace_back(std::string(), std::move(value));
    return items_.back().second;
  }
  Json &Set(const std::string &key, Json value) {
    for (auto &item : items_)
      if (item.first == key) return item.second = std::move(value);
    items_.emplace_back(key, std::move(value));
    return items_.back().second;
  }
  Type type() const { return type_; }
  size_t size() const { return items_.size(); }

  std::string Dump(int indent = 0) const;

 private:
  Type type_ = Type::Null;
  int64_t int_ = 0;
  double real_ = 0;
  std::string string_;
  std::vector<std::pair<std::string, Json>> items_;
};

std::string JsonQuote(const std::string &text);

}  // namespace ctl
