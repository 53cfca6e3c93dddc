// INF files as the platform's setup functions read them: named sections of lines, each line an
// optional key and comma-separated fields, with %strkey% tokens replaced from [Strings].
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct InfLine {
  std::string key;                  // empty when the line has no '='
  std::vector<std::string> fields;  // unquoted, tokens replaced, blanks trimmed
  unsigned number = 0;              // where the line starts in the file (1-based)

  // Field i, or "" when the line has fewer.
  const std::string &Field(size_t i) const;
};

class Inf {
 public:
  // Parses ASCII/UTF-8 text or UTF-16LE with a byte order mark. A line outside any section,
  // an unclosed or empty section name, text after a section name, an unclosed quote or an
  // undefined %strkey% is an error naming the line: the platform would install a literal
  // "%name%" where a text was meant.
  static std::optional<Inf> Parse(std::string_view text, std::string *error);

  // Section and key names compare without regard to case; sections of one name are merged.
  bool HasSection(std::string_view name) const;
  // The section's lines in file order, or null when there is no such section.
  const std::vector<InfLine> *Section(std::string_view name) const;
  // The first line with that key, or null.
  const InfLine *Find(std::string_view section, std::string_view key) const;
  std::vector<const InfLine *> FindAll(std::string_view section, std::string_view key) const;
  // The value of a [Strings] key, or null.
  const std::string *String(std::string_view key) const;

 private:
  std::map<std::string, std::vector<InfLine>> sections_;  // by lower-case name
  std::map<std::string, std::string> strings_;            // by lower-case key
};

std::string InfLower(std::string_view text);

}  // namespace sim
