// Windows registry export files: the reader merges one into the tree, the writer saves
// the tree. Both keep to limits a file cannot push past: no recursion, no line kept
// longer than needed, and a file saved only by replacing it whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "sim/kernel/registry.h"
#include "sim/kernel/registry_text.h"
#include "sim/kernel/registry_tree.h"

namespace sim {

using regtext::AppendUtf8;
using regtext::DecodeUtf16;
using regtext::DecodeUtf8;
using regtext::EqualsNoCase;
using regtext::Fold;
using regtext::StringData;
using regtext::Utf8ToUtf16Strict;
using regtext::WideFromBytes;
using namespace regtree;

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

// ---------------------------------------------------------------- writing

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      // Not written by the platform's tools, but a raw line break would split the line.
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        out += c;
    }
  }
  return out + "\"";
}

// A REG_SZ is written as a quoted string only when reading that back gives the same bytes.
std::optional<std::string> AsPlainString(const Registry::Value &v) {
  if (v.type != REG_SZ || v.data.size() < 2 || v.data.size() % 2) return std::nullopt;
  std::u16string wide = WideFromBytes(v.data);
  if (wide.back() != u'\0') return std::nullopt;
  wide.pop_back();
  for (char16_t c : wide) {
    if (c < 0x20 && c != u'\t') return std::nullopt;
  }
  for (size_t i = 0; i < wide.size();) {
    char32_t c;
    size_t len;
    if (!DecodeUtf16(wide, i, &c, &len)) return std::nullopt;
    i += len;
  }
  return Utf16ToUtf8(wide);
}

constexpr size_t kHexWrapColumn = 77;  // where the platform's tools break hex lines

void WriteValue(std::string &out, const NamedValue &nv) {
  static const char kDigits[] = "0123456789abcdef";
  std::string line = nv.name.empty() ? "@=" : Quote(nv.name) + "=";
  const Registry::Value &v = nv.value;
  if (v.type == REG_DWORD && v.data.size() == 4) {
    char text[16];
    const uint32_t n = uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 | uint32_t(v.data[2]) << 16 |
                       uint32_t(v.data[3]) << 24;
    std::snprintf(text, sizeof(text), "dword:%08x", n);
    out += line + text + "\r\n";
    return;
  }
  if (auto text = AsPlainString(v)) {
    out += line + Quote(*text) + "\r\n";
    return;
  }
  if (v.type == REG_BINARY) {
    line += "hex:";
  } else {
    char text[24];
    std::snprintf(text, sizeof(text), "hex(%x):", static_cast<unsigned>(v.type));
    line += text;
  }
  size_t column = Utf8ToUtf16(line).size();
  for (size_t i = 0; i < v.data.size(); ++i) {
    line += kDigits[v.data[i] >> 4];
    line += kDigits[v.data[i] & 15];
    if (i + 1 == v.data.size()) break;
    line += ',';
    column += 3;
    if (column >= kHexWrapColumn) {
      line += "\\\r\n  ";
      column = 2;
    }
  }
  out += line + "\r\n";
}

using Sink = std::function<void(std::string_view)>;

// Keys in the platform's order, depth first, without recursion.
void WriteTree(const Sink &sink, const std::string &rootPath, const Key &root, bool rootHeader) {
  struct Pending {
    std::string path;
    const Key *key;
    bool header;
  };
  std::vector<Pending> stack{{rootPath, &root, rootHeader}};
  std::string chunk;
  while (!stack.empty()) {
    Pending p = std::move(stack.back());
    stack.pop_back();
    if (p.header) {
      chunk = "[" + p.path + "]\r\n";
      for (const auto &[folded, nv] : p.key->values) WriteValue(chunk, nv);
      chunk += "\r\n";
      sink(chunk);
    }
    for (auto it = p.key->subkeys.rbegin(); it != p.key->subkeys.rend(); ++it)
      stack.push_back({p.path + "\\" + it->second->name, it->second.get(), true});
  }
}

// Converts what the writer produces into the file's encoding as it goes.
class EncodingSink {
 public:
  EncodingSink(Registry::Encoding encoding, Sink out) : encoding_(encoding), out_(std::move(out)) {
    if (encoding_ == Registry::Encoding::Utf16le) out_("\xFF\xFE");
  }
  void operator()(std::string_view utf8) {
    if (encoding_ == Registry::Encoding::Utf8) {
      out_(utf8);
      return;
    }
    std::u16string wide = Utf8ToUtf16(utf8);
    bytes_.clear();
    bytes_.reserve(wide.size() * 2);
    for (char16_t c : wide) {
      bytes_ += static_cast<char>(c & 0xFF);
      bytes_ += static_cast<char>(c >> 8);
    }
    out_(bytes_);
  }

 private:
  Registry::Encoding encoding_;
  Sink out_;
  std::string bytes_;
};

}  // namespace

void Registry::Impl::Export(Encoding encoding, const std::vector<std::string> &roots,
                            const Sink &out) const {
  const Impl &impl = *this;
  EncodingSink sink(encoding, out);
  sink(std::string(kHeader5) + "\r\n\r\n");
  if (roots.empty()) {
    for (const auto &[folded, hive] : impl.hives)
      WriteTree(std::ref(sink), hive->name, *hive, !hive->values.empty());
    return;
  }
  for (const std::string &root : roots) {
    auto parts = ParsePathOrThrow(root);
    KeyPtr key = impl.Find(parts);
    if (!key) continue;
    // Spell the path as stored, not as asked.
    KeyPtr walk = impl.hives.at(Fold(parts[0]));
    std::string path = walk->name;
    for (size_t i = 1; i < parts.size(); ++i) {
      walk = walk->subkeys.at(Fold(parts[i]));
      path += "\\" + walk->name;
    }
    WriteTree(std::ref(sink), path, *key, parts.size() > 1 || !key->values.empty());
  }
}

namespace {

std::string ErrnoText() { return std::strerror(errno); }

mode_t CurrentUmask() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

}  // namespace

std::string Registry::SaveText(Encoding encoding, const std::vector<std::string> &roots) const {
  std::lock_guard lock(impl_->mutex);
  std::string text;
  impl_->Export(encoding, roots, [&](std::string_view s) { text += s; });
  return text;
}

void Registry::Save(const std::filesystem::path &file, Encoding encoding,
                    const std::vector<std::string> &roots) const {
  const std::string name = file.string();
  struct stat existing {};
  const bool exists = ::stat(name.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode))
    throw RegFileError(name + ": not a regular file; the registry is not saved over it");
  // A temporary beside the file, renamed over it once complete: a failed write leaves
  // the old file as it was.
  std::filesystem::path dir = file.parent_path();
  std::string temporary = (dir / ("." + file.filename().string() + ".XXXXXX")).string();
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) throw RegFileError(name + ": cannot write the file: " + ErrnoText());
  bool ok = true;
  std::string error;
  auto write = [&](std::string_view bytes) {
    while (ok && !bytes.empty()) {
      ssize_t n = ::write(fd, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = false;
        error = ErrnoText();
        return;
      }
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  };
  try {
    std::lock_guard lock(impl_->mutex);
    impl_->Export(encoding, roots, write);
  } catch (...) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw;
  }
  if (ok) {
    mode_t mode = exists ? existing.st_mode & 07777 : 0666 & ~CurrentUmask();
    if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) {
      ok = false;
      error = ErrnoText();
    }
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = ErrnoText();
  }
  if (ok && ::rename(temporary.c_str(), name.c_str()) != 0) {
    ok = false;
    error = ErrnoText();
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    throw RegFileError(name + ": cannot write the file: " + error);
  }
}

// ---------------------------------------------------------------- reading

namespace {

[[noreturn]] void Fail(size_t line, const std::string &what) {
  throw RegFileError("line " + std::to_string(line) + ": " + what);
}

// One line at a time from the file's bytes: decoded to UTF-8 as it is reached, so a
// file of blank lines costs no more than its bytes.
class LineSource {
 public:
  explicit LineSource(std::string_view bytes) {
    if (bytes.starts_with("\xFE\xFF")) Fail(1, "UTF-16 big-endian files are not supported");
    if (bytes.starts_with("\xFF\xFE")) {
      utf16_ = true;
      bytes.remove_prefix(2);
      if (bytes.size() % 2) oddTail_ = true;
    } else {
      if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
      // REGEDIT4 files are in the ANSI code page; one that is not UTF-8 is read as Latin-1.
      if (bytes.starts_with(kHeader4)) latin1_ = !Utf8ToUtf16Strict(bytes).has_value();
    }
    bytes_ = bytes;
  }

  // The next line without its break; false at the end.
  bool Next(size_t *number, std::string *text) {
    if (at_ >= Units()) {
      if (oddTail_ && !tailReported_) {
        tailReported_ = true;
        Fail(std::max<size_t>(number_, 1), "the file ends inside a UTF-16 character");
      }
      return false;
    }
    size_t start = at_;
    size_t end = start;
    while (end < Units() && Unit(end) != '\r' && Unit(end) != '\n') ++end;
    ++number_;
    if (end - start > Registry::kMaxLineChars)
      Fail(number_, "line longer than " + std::to_string(Registry::kMaxLineChars) + " characters");
    at_ = end;
    if (at_ < Units()) {
      if (Unit(at_) == '\r' && at_ + 1 < Units() && Unit(at_ + 1) == '\n') ++at_;
      ++at_;
    }
    *number = number_;
    Decode(start, end, text);
    return true;
  }

 private:
  size_t Units() const { return utf16_ ? bytes_.size() / 2 : bytes_.size(); }
  char16_t Unit(size_t i) const {
    if (!utf16_) return static_cast<unsigned char>(bytes_[i]);
    return static_cast<char16_t>(static_cast<unsigned char>(bytes_[2 * i]) |
                                 static_cast<unsigned char>(bytes_[2 * i + 1]) << 8);
  }

  void Decode(size_t start, size_t end, std::string *text) {
    text->clear();
    if (utf16_) {
      std::u16string wide;
      wide.reserve(end - start);
      for (size_t i = start; i < end; ++i) wide += Unit(i);
      for (size_t i = 0; i < wide.size();) {
        char32_t c;
        size_t len;
        if (!DecodeUtf16(wide, i, &c, &len)) Fail(number_, "unpaired UTF-16 surrogate");
        if (c == 0) Fail(number_, "NUL character");
        AppendUtf8(*text, c);
        i += len;
      }
      return;
    }
    std::string_view line = bytes_.substr(start, end - start);
    for (size_t i = 0; i < line.size();) {
      char32_t c;
      size_t len;
      if (latin1_) {
        c = static_cast<unsigned char>(line[i]), len = 1;
      } else if (!DecodeUtf8(line, i, &c, &len)) {
        Fail(number_, "invalid UTF-8");
      }
      if (c == 0) Fail(number_, "NUL character (a UTF-16 file without its byte-order mark?)");
      AppendUtf8(*text, c);
      i += len;
    }
  }

  std::string_view bytes_;
  bool utf16_ = false;
  bool latin1_ = false;
  bool oddTail_ = false;
  bool tailReported_ = false;
  size_t at_ = 0;  // in code units
  size_t number_ = 0;
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

// Reads a quoted string at s[0] == '"'; returns it unescaped and leaves s after the quote.
std::string ParseQuoted(std::string_view *s, size_t line, const char *what) {
  std::string out;
  size_t i = 1;
  for (; i < s->size(); ++i) {
    char c = (*s)[i];
    if (c == '"') break;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == s->size()) break;
    switch ((*s)[i]) {
      case '\\':
        out += '\\';
        break;
      case '"':
        out += '"';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case '0':
        out += '\0';
        break;
      default:
        Fail(line, std::string("unknown escape '\\") + (*s)[i] + "' in " + what +
                       " (a backslash is written '\\\\')");
    }
  }
  if (i >= s->size()) Fail(line, std::string("unterminated ") + what + ": missing closing '\"'");
  s->remove_prefix(i + 1);
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Quoted text from the file in a message: long enough to find, never the whole of a
// huge line.
std::string Shown(std::string_view text) {
  constexpr size_t kShown = 60;
  if (text.size() <= kShown) return std::string(text);
  size_t cut = kShown;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "... (" + std::to_string(text.size()) + " bytes)";
}

struct Op {
  enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
  const std::vector<std::string> *path;
  std::string name;
  Registry::Value value;
};
using Apply = std::function<void(const Op &)>;

// Reads the comma-separated bytes after "hex:", following '\' continuations.
std::vector<uint8_t> ParseHexBytes(std::string_view text, size_t number, LineSource &lines) {
  std::vector<uint8_t> bytes;
  std::string next;
  for (;;) {
    std::string_view segment = Trim(text);
    const bool more = segment.ends_with('\\');
    if (more) segment = Trim(segment.substr(0, segment.size() - 1));
    bool trailingComma = false;
    while (!segment.empty()) {
      const size_t comma = segment.find(',');
      std::string_view token = Trim(segment.substr(0, comma));
      if (token.empty()) Fail(number, "empty byte in hex data");
      if (token.size() > 2 || HexDigit(token[0]) < 0 ||
          (token.size() == 2 && HexDigit(token[1]) < 0)) {
        Fail(number, "bad byte '" + Shown(token) + "' in hex data (expected 2 hex digits)");
      }
      int n = HexDigit(token[0]);
      if (token.size() == 2) n = n * 16 + HexDigit(token[1]);
      if (bytes.size() >= Registry::kMaxValueBytes)
        Fail(number, "value larger than " + std::to_string(Registry::kMaxValueBytes) + " bytes");
      bytes.push_back(static_cast<uint8_t>(n));
      trailingComma = comma != std::string_view::npos;
      segment = comma == std::string_view::npos ? std::string_view{} : segment.substr(comma + 1);
    }
    if (!more) {
      if (trailingComma) Fail(number, "hex data ends with a comma");
      return bytes;
    }
    if (!lines.Next(&number, &next)) Fail(number, "hex data continues past the end of the file");
    text = next;
    if (Trim(text).empty()) Fail(number, "hex data continues on a blank line");
  }
}

// Reads the whole file; with `apply`, hands over each step as it is read. Throws
// RegFileError at the first problem.
void ParseRegFile(std::string_view bytes, const Apply &apply) {
  LineSource lines(bytes);
  size_t number = 0;
  std::string line;
  if (!lines.Next(&number, &line))
    Fail(1, "empty file: expected the header '" + std::string(kHeader5) + "'");
  std::string_view header = line;
  while (!header.empty() && (header.back() == ' ' || header.back() == '\t')) {
    header.remove_suffix(1);
  }
  bool regedit4 = false;
  if (header == kHeader4) {
    regedit4 = true;
  } else if (header != kHeader5) {
    Fail(1,
         "expected the header '" + std::string(kHeader5) + "' or '" + std::string(kHeader4) + "'");
  }
  std::vector<std::string> current;  // the key values go to
  bool currentDeleted = false;
  while (lines.Next(&number, &line)) {
    std::string_view text = Trim(line);
    if (text.empty() || text.front() == ';') continue;

    if (text.front() == '[') {
      if (text.back() != ']') Fail(number, "key line without a closing ']'");
      std::string_view path = text.substr(1, text.size() - 2);
      const bool remove = path.starts_with('-');
      if (remove) path.remove_prefix(1);
      std::vector<std::string> parts;
      std::string error;
      if (!ParsePath(path, &parts, &error)) {
        Fail(number, "bad key '" + Shown(path) + "': " + error);
      }
      if (remove && parts.size() < 2) {
        Fail(number, "the root key '" + parts[0] + "' cannot be deleted");
      }
      current = std::move(parts);
      currentDeleted = remove;
      if (apply) apply({remove ? Op::kDeleteKey : Op::kCreateKey, &current, {}, {}});
      continue;
    }

    std::string name;
    if (text.front() == '@') {
      text.remove_prefix(1);
    } else if (text.front() == '"') {
      name = ParseQuoted(&text, number, "value name");
      if (Utf8ToUtf16(name).size() > kMaxValueNameChars) {
        Fail(number, "value name longer than 16383 characters");
      }
    } else {
      Fail(number, "expected '[KEY]', '\"NAME\"=', '@=' or a ';' comment");
    }
    text = Trim(text);
    if (!text.starts_with('=')) Fail(number, "expected '=' after the value name");
    text = Trim(text.substr(1));
    if (current.empty()) Fail(number, "value before the first '[KEY]' line");
    if (currentDeleted) Fail(number, "value under a key being deleted");

    Op op{Op::kSetValue, &current, name, {}};
    if (text == "-") {
      op.kind = Op::kDeleteValue;
    } else if (text.starts_with('"')) {
      std::string value = ParseQuoted(&text, number, "string");
      if (!Trim(text).empty()) Fail(number, "unexpected text after the string");
      op.value = {REG_SZ, StringData(value)};
      if (op.value.data.size() > Registry::kMaxValueBytes)
        Fail(number, "value larger than " + std::to_string(Registry::kMaxValueBytes) + " bytes");
    } else if (StartsWithNoCase(text, "dword:")) {
      std::string_view digits = text.substr(6);
      uint32_t n = 0;
      bool ok = !digits.empty() && digits.size() <= 8;
      for (char c : digits) {
        ok = ok && HexDigit(c) >= 0;
        if (ok) n = n * 16 + static_cast<uint32_t>(HexDigit(c));
      }
      if (!ok) {
        Fail(number, "bad dword '" + Shown(digits) + "' (expected up to 8 hex digits)");
      }
      op.value = {REG_DWORD,
                  {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                   static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)}};
    } else if (StartsWithNoCase(text, "hex:") || StartsWithNoCase(text, "hex(")) {
      ULONG type = REG_BINARY;
      if (text[3] == '(') {
        const size_t close = text.find(')');
        std::string_view digits = text.substr(4, close == std::string_view::npos ? 0 : close - 4);
        bool ok = close != std::string_view::npos && !digits.empty() && digits.size() <= 8 &&
                  close + 1 < text.size() && text[close + 1] == ':';
        type = 0;
        for (char c : digits) {
          ok = ok && HexDigit(c) >= 0;
          if (ok) type = type * 16 + static_cast<ULONG>(HexDigit(c));
        }
        if (!ok) Fail(number, "bad value type: expected 'hex(N):' with N in hex");
        text.remove_prefix(close + 2);
      } else {
        text.remove_prefix(4);
      }
      // The continuation lines replace `line`: keep what is left of this one.
      std::string first(text);
      op.value = {type, ParseHexBytes(first, number, lines)};
      // REGEDIT4 text in hex is ANSI; the registry holds it as UTF-16.
      if (regedit4 && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
        if (op.value.data.size() > Registry::kMaxValueBytes / 2)
          Fail(number, "value larger than " + std::to_string(Registry::kMaxValueBytes) + " bytes");
        std::vector<uint8_t> wide;
        for (uint8_t b : op.value.data) {
          wide.push_back(b);
          wide.push_back(0);
        }
        op.value.data = std::move(wide);
      }
    } else {
      Fail(number, "unknown value data '" + Shown(text.substr(0, 20)) +
                       "' (expected \"string\", dword:, hex: or -)");
    }
    if (apply) apply(op);
  }
}

}  // namespace

void Registry::LoadText(std::string_view bytes) {
  if (bytes.size() > kMaxFileBytes)
    throw RegFileError("larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB");
  // Read once to find any problem, then again to apply: nothing of a bad file is kept,
  // and nothing of a good one is held twice.
  ParseRegFile(bytes, nullptr);
  std::lock_guard lock(impl_->mutex);
  ParseRegFile(bytes, [&](const Op &op) {
    switch (op.kind) {
      case Op::kCreateKey:
        impl_->Create(*op.path);
        break;
      case Op::kDeleteKey:
        impl_->Delete(*op.path);
        break;
      case Op::kSetValue:
        Impl::Set(*impl_->Create(*op.path), op.name, op.value.type, op.value.data);
        break;
      case Op::kDeleteValue:
        if (KeyPtr key = impl_->Find(*op.path)) key->values.erase(Fold(op.name));
        break;
    }
  });
}

void Registry::Load(const std::filesystem::path &file) {
  const std::string name = file.string();
  // Opened without blocking, so a FIFO cannot hold the caller; then only a regular
  // file of bounded size is read.
  int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw RegFileError(name + ": cannot open the file: " + ErrnoText());
  struct stat st {};
  std::string bytes;
  std::string problem;
  if (::fstat(fd, &st) != 0) {
    problem = "cannot read the file: " + ErrnoText();
  } else if (S_ISDIR(st.st_mode)) {
    problem = "a folder, not a registry file";
  } else if (!S_ISREG(st.st_mode)) {
    problem = "not a regular file (a registry file is read whole)";
  } else if (static_cast<uint64_t>(st.st_size) > kMaxFileBytes) {
    problem = "larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB";
  } else {
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
      ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        problem = "cannot read the file: " + ErrnoText();
        break;
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    bytes.resize(got);
  }
  ::close(fd);
  if (!problem.empty()) throw RegFileError(name + ": " + problem);
  try {
    LoadText(bytes);
  } catch (const RegFileError &e) {
    throw RegFileError(name + ": " + e.what());
  }
}

}  // namespace sim
