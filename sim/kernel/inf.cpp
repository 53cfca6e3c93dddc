#include "sim/kernel/inf.h"

#include <algorithm>
#include <cctype>

#include "sim/kernel/registry.h"

namespace sim {

namespace {

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

std::string Decode(std::string_view text) {
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
      static_cast<unsigned char>(text[1]) == 0xFE) {
    std::u16string wide;
    for (size_t i = 2; i + 1 < text.size(); i += 2)
      wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(text[i]) |
                                           static_cast<unsigned char>(text[i + 1]) << 8));
    return Utf16ToUtf8(wide);
  }
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return std::string(text);
}

// One logical line: comments gone, continuation lines joined, quotes still in place.
struct RawLine {
  std::string text;
  unsigned number;
};

bool SplitLines(const std::string &text, std::vector<RawLine> *out, std::string *error) {
  std::string current;
  unsigned first = 0, number = 0;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + at, end - at);
    at = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // The part before a comment, quotes respected.
    bool quoted = false;
    size_t cut = line.size();
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == ';' && !quoted) {
        cut = i;
        break;
      }
    }
    if (quoted) {
      *error = "line " + std::to_string(number) + ": unclosed quote";
      return false;
    }
    std::string part = Trim(line.substr(0, cut));
    if (current.empty()) first = number;
    if (!part.empty() && part.back() == '\\' && at <= text.size()) {
      part.pop_back();
      current += part;
      continue;
    }
    current += part;
    if (!Trim(current).empty()) out->push_back({current, first});
    current.clear();
  }
  return true;
}

// Splits at unquoted separators; each piece trimmed, quotes removed ("" inside quotes is ").
std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  std::string piece;
  bool quoted = false, sawQuote = false;
  auto finish = [&] {
    pieces.push_back(sawQuote ? piece : Trim(piece));
    piece.clear();
    sawQuote = false;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        piece += '"';
        ++i;
        continue;
      }
      if (!quoted && !sawQuote) piece = Trim(piece);
      quoted = !quoted;
      sawQuote = true;
      continue;
    }
    if (c == separator && !quoted) {
      finish();
      continue;
    }
    if (sawQuote && !quoted && (c == ' ' || c == '\t')) continue;  // blanks after a quote
    piece += c;
  }
  finish();
  return pieces;
}

size_t UnquotedEquals(std::string_view text) {
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') quoted = !quoted;
    if (text[i] == '=' && !quoted) return i;
  }
  return std::string_view::npos;
}

bool IsNumber(std::string_view s) {
  return !s.empty() &&
         std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

}  // namespace

std::string InfLower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

const std::string &InfLine::Field(size_t i) const {
  static const std::string kEmpty;
  return i < fields.size() ? fields[i] : kEmpty;
}

std::optional<Inf> Inf::Parse(std::string_view bytes, std::string *error) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  std::vector<RawLine> lines;
  if (!SplitLines(Decode(bytes), &lines, error)) return std::nullopt;

  struct Pending {
    std::string section;  // lower case
    InfLine line;
  };
  std::vector<Pending> pending;
  Inf inf;
  std::string section;
  for (const RawLine &raw : lines) {
    const std::string where = "line " + std::to_string(raw.number) + ": ";
    if (raw.text[0] == '[') {
      size_t close = raw.text.find(']');
      if (close == std::string::npos) {
        *error = where + "the section name has no closing ']'";
        return std::nullopt;
      }
      std::string name = Trim(std::string_view(raw.text).substr(1, close - 1));
      if (name.empty()) {
        *error = where + "empty section name";
        return std::nullopt;
      }
      if (!Trim(std::string_view(raw.text).substr(close + 1)).empty()) {
        *error = where + "text after the section name [" + name + "]";
        return std::nullopt;
      }
      section = InfLower(name);
      inf.sections_[section];
      continue;
    }
    if (section.empty()) {
      *error = where + "a line before the first section";
      return std::nullopt;
    }
    InfLine line;
    line.number = raw.number;
    std::string_view body = raw.text;
    size_t eq = UnquotedEquals(body);
    if (eq != std::string_view::npos) {
      std::vector<std::string> key = Split(body.substr(0, eq), '\0');
      line.key = key.empty() ? "" : key[0];
      body.remove_prefix(eq + 1);
      if (line.key.empty()) {
        *error = where + "'=' with no key before it";
        return std::nullopt;
      }
    }
    line.fields = Split(body, ',');
    if (line.fields.size() == 1 && line.fields[0].empty() && !line.key.empty())
      line.fields.clear();  // "key =" has no fields
    if (section == "strings") {
      if (line.key.empty()) {
        *error = where + "a [Strings] line without a key";
        return std::nullopt;
      }
      inf.strings_[InfLower(line.key)] = line.Field(0);
    }
    pending.push_back({section, std::move(line)});
  }

  // %strkey% from [Strings]; %% is a percent sign; %number% is a directory id, kept.
  auto substitute = [&](const std::string &text, unsigned number, std::string *out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] != '%') {
        *out += text[i];
        continue;
      }
      size_t close = text.find('%', i + 1);
      if (close == std::string::npos) {
        *out += text.substr(i);
        return true;
      }
      std::string name = text.substr(i + 1, close - i - 1);
      if (name.empty()) {
        *out += '%';
      } else if (IsNumber(name)) {
        *out += "%" + name + "%";
      } else {
        auto found = inf.strings_.find(InfLower(name));
        if (found == inf.strings_.end()) {
          *error = "line " + std::to_string(number) + ": %" + name + "% is not in [Strings]";
          return false;
        }
        *out += found->second;
      }
      i = close;
    }
    return true;
  };
  for (Pending &p : pending) {
    if (p.section != "strings") {
      std::string replaced;
      if (!substitute(p.line.key, p.line.number, &replaced)) return std::nullopt;
      p.line.key = replaced;
      for (std::string &field : p.line.fields) {
        if (!substitute(field, p.line.number, &replaced)) return std::nullopt;
        field = replaced;
      }
    }
    inf.sections_[p.section].push_back(std::move(p.line));
  }
  return inf;
}

bool Inf::HasSection(std::string_view name) const { return sections_.count(InfLower(name)) != 0; }

const std::vector<InfLine> *Inf::Section(std::string_view name) const {
  auto found = sections_.find(InfLower(name));
  return found == sections_.end() ? nullptr : &found->second;
}

const InfLine *Inf::Find(std::string_view section, std::string_view key) const {
  std::vector<const InfLine *> all = FindAll(section, key);
  return all.empty() ? nullptr : all.front();
}

std::vector<const InfLine *> Inf::FindAll(std::string_view section, std::string_view key) const {
  std::vector<const InfLine *> found;
  const std::vector<InfLine> *lines = Section(section);
  if (lines == nullptr) return found;
  const std::string wanted = InfLower(key);
  for (const InfLine &line : *lines)
    if (InfLower(line.key) == wanted) found.push_back(&line);
  return found;
}

const std::string *Inf::String(std::string_view key) const {
  auto found = strings_.find(InfLower(key));
  return found == strings_.end() ? nullptr : &found->second;
}

}  // namespace sim
