#include "sim/kernel/registry.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

namespace sim {
namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
constexpr ULONG kPartialHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

// ---------------------------------------------------------------- text encodings

// Decodes the code point at s[i]; on invalid input *len is the number of bytes to skip.
bool DecodeUtf8(std::string_view s, size_t i, char32_t *cp, size_t *len) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    *cp = b0;
    *len = 1;
    return true;
  }
  size_t n;
  char32_t c, min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2, c = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3, c = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    *len = 1;
    return false;
  }
  size_t k = 1;
  for (; k < n && i + k < s.size(); ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) break;
    c = (c << 6) | (b & 0x3F);
  }
  *len = k;
  if (k < n || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  *cp = c;
  return true;
}

bool DecodeUtf16(std::u16string_view s, size_t i, char32_t *cp, size_t *len) {
  const char16_t u = s[i];
  *len = 1;
  if (u < 0xD800 || u > 0xDFFF) {
    *cp = u;
    return true;
  }
  if (u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
    *cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (s[i + 1] - 0xDC00);
    *len = 2;
    return true;
  }
  return false;
}

void AppendUtf8(std::string &out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(std::u16string &out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

std::optional<std::u16string> Utf8ToUtf16Strict(std::string_view text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    char32_t c;
    size_t len;
    if (!DecodeUtf8(text, i, &c, &len)) return std::nullopt;
    AppendUtf16(out, c);
    i += len;
  }
  return out;
}

// Upcasing as the registry compares names. Covers ASCII, Latin-1, basic Greek and
// Cyrillic: the names this machine meets need no more of the platform's table.
char16_t Upcase(char16_t c) {
  if (c >= u'a' && c <= u'z') return c - 32;
  if (c < 0x80) return c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  if (c == 0xFF) return 0x178;
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 32;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  return c;
}

std::u16string Fold(std::string_view utf8) {
  std::u16string s = Utf8ToUtf16(utf8);
  for (auto &c : s) c = Upcase(c);
  return s;
}

// ---------------------------------------------------------------- paths

struct Hive {
  std::string_view name;
  std::string_view alias;
};
constexpr Hive kHives[] = {
    {"HKEY_CLASSES_ROOT", "HKCR"}, {"HKEY_CURRENT_USER", "HKCU"},   {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_USERS", "HKU"},         {"HKEY_CURRENT_CONFIG", "HKCC"},
};

bool EqualsNoCase(std::string_view a, std::string_view b) { return Fold(a) == Fold(b); }

// Checks one key name; returns the reason it is unusable, or empty.
std::string KeyNameProblem(std::string_view name) {
  if (name.empty()) return "empty key name";
  auto wide = Utf8ToUtf16Strict(name);
  if (!wide) return "key name is not valid UTF-8";
  if (wide->size() > kMaxKeyNameChars) return "key name longer than 255 characters";
  for (char16_t c : *wide) {
    if (c < 0x20) return "control character in key name";
  }
  return {};
}

// Splits a path into the canonical hive name and the key names below it.
bool ParsePath(std::string_view path, std::vector<std::string> *parts, std::string *error) {
  parts->clear();
  std::vector<std::string_view> names;
  for (size_t start = 0;;) {
    size_t end = path.find('\\', start);
    names.push_back(path.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  size_t first = 0;
  std::string_view hive;
  if (names.size() >= 3 && names[0].empty() && EqualsNoCase(names[1], "Registry")) {
    // The native form: \Registry\Machine\..., \Registry\User\...
    if (EqualsNoCase(names[2], "Machine")) hive = "HKEY_LOCAL_MACHINE";
    if (EqualsNoCase(names[2], "User")) hive = "HKEY_USERS";
    first = 3;
  } else {
    for (const Hive &h : kHives) {
      if (EqualsNoCase(names[0], h.name) || EqualsNoCase(names[0], h.alias)) hive = h.name;
    }
    first = 1;
  }
  if (hive.empty()) {
    *error = "unknown root key '" + std::string(path.substr(0, path.find('\\', 1))) + "'";
    return false;
  }
  parts->emplace_back(hive);
  for (size_t i = first; i < names.size(); ++i) {
    std::string problem = KeyNameProblem(names[i]);
    if (!problem.empty()) {
      *error = problem;
      return false;
    }
    parts->emplace_back(names[i]);
  }
  return true;
}

std::vector<std::string> ParsePathOrThrow(std::string_view path) {
  std::vector<std::string> parts;
  std::string error;
  if (!ParsePath(path, &parts, &error)) {
    throw std::invalid_argument("registry path '" + std::string(path) + "': " + error);
  }
  return parts;
}

void CheckValueName(std::string_view name) {
  auto wide = Utf8ToUtf16Strict(name);
  if (!wide) throw std::invalid_argument("registry value name is not valid UTF-8");
  if (wide->size() > kMaxValueNameChars) {
    throw std::invalid_argument("registry value name longer than 16383 characters");
  }
}

std::vector<uint8_t> StringData(std::string_view utf8) {
  std::u16string wide = Utf8ToUtf16(utf8);
  std::vector<uint8_t> data;
  data.reserve(wide.size() * 2 + 2);
  for (char16_t c : wide) {
    data.push_back(static_cast<uint8_t>(c & 0xFF));
    data.push_back(static_cast<uint8_t>(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

std::u16string WideFromBytes(const std::vector<uint8_t> &data) {
  std::u16string wide;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    wide += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  return wide;
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t c;
    size_t len;
    if (!DecodeUtf16(text, i, &c, &len)) c = kReplacement;
    AppendUtf8(out, c);
    i += len;
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t c;
    size_t len;
    if (!DecodeUtf8(text, i, &c, &len)) c = kReplacement;
    AppendUtf16(out, c);
    i += len;
  }
  return out;
}

// ---------------------------------------------------------------- the tree

namespace {

struct Key;
using KeyPtr = std::shared_ptr<Key>;

struct NamedValue {
  std::string name;  // as first written
  Registry::Value value;
};

struct Key {
  std::string name;                          // as first created
  std::map<std::u16string, KeyPtr> subkeys;  // by upcased name, the platform's order
  std::map<std::u16string, NamedValue> values;
  bool deleted = false;  // open handles keep deleted keys alive
};

void MarkDeleted(Key &key) {
  key.deleted = true;
  for (auto &[folded, sub] : key.subkeys) MarkDeleted(*sub);
}

bool SameTree(const Key &a, const Key &b) {
  if (a.name != b.name || a.values.size() != b.values.size() ||
      a.subkeys.size() != b.subkeys.size()) {
    return false;
  }
  for (auto ia = a.values.begin(), ib = b.values.begin(); ia != a.values.end(); ++ia, ++ib) {
    if (ia->first != ib->first || ia->second.name != ib->second.name ||
        ia->second.value.type != ib->second.value.type ||
        ia->second.value.data != ib->second.value.data) {
      return false;
    }
  }
  for (auto ia = a.subkeys.begin(), ib = b.subkeys.begin(); ia != a.subkeys.end(); ++ia, ++ib) {
    if (ia->first != ib->first || !SameTree(*ia->second, *ib->second)) return false;
  }
  return true;
}

}  // namespace

struct Registry::Impl {
  struct OpenHandle {
    KeyPtr key;
    ACCESS_MASK access;
  };

  mutable std::mutex mutex;
  std::map<std::u16string, KeyPtr> hives;
  std::map<uintptr_t, OpenHandle> handles;
  // Kernel-style handle values: multiples of 4, never reused.
  uintptr_t nextHandle = 0x80000004;
  bool writesFail = false;

  Impl() {
    for (const Hive &h : kHives) {
      auto key = std::make_shared<Key>();
      key->name = h.name;
      hives[Fold(h.name)] = key;
    }
  }

  KeyPtr Find(const std::vector<std::string> &parts) const {
    KeyPtr key = hives.at(Fold(parts[0]));
    for (size_t i = 1; i < parts.size() && key; ++i) {
      auto it = key->subkeys.find(Fold(parts[i]));
      key = it == key->subkeys.end() ? nullptr : it->second;
    }
    return key;
  }

  KeyPtr Create(const std::vector<std::string> &parts) {
    KeyPtr key = hives.at(Fold(parts[0]));
    for (size_t i = 1; i < parts.size(); ++i) {
      KeyPtr &slot = key->subkeys[Fold(parts[i])];
      if (!slot) {
        slot = std::make_shared<Key>();
        slot->name = parts[i];
      }
      key = slot;
    }
    return key;
  }

  bool Delete(const std::vector<std::string> &parts) {
    if (parts.size() < 2) return false;  // hives stay
    std::vector<std::string> parentParts(parts.begin(), parts.end() - 1);
    KeyPtr parent = Find(parentParts);
    if (!parent) return false;
    auto it = parent->subkeys.find(Fold(parts.back()));
    if (it == parent->subkeys.end()) return false;
    MarkDeleted(*it->second);
    parent->subkeys.erase(it);
    return true;
  }

  static void Set(Key &key, std::string_view name, ULONG type, std::vector<uint8_t> data) {
    NamedValue &slot = key.values[Fold(name)];
    if (slot.name.empty()) slot.name = name;  // an existing value keeps its spelling
    slot.value.type = type;
    slot.value.data = std::move(data);
  }

  OpenHandle *Lookup(HANDLE handle) {
    auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == handles.end() ? nullptr : &it->second;
  }

  std::string Export(Encoding encoding, const std::vector<std::string> &roots) const;
};

Registry::Registry() : impl_(std::make_unique<Impl>()) {}
Registry::~Registry() = default;

bool Registry::KeyExists(std::string_view path) const {
  std::vector<std::string> parts;
  std::string error;
  if (!ParsePath(path, &parts, &error)) return false;
  std::lock_guard lock(impl_->mutex);
  return impl_->Find(parts) != nullptr;
}

void Registry::CreateKey(std::string_view path) {
  auto parts = ParsePathOrThrow(path);
  std::lock_guard lock(impl_->mutex);
  impl_->Create(parts);
}

bool Registry::DeleteKey(std::string_view path) {
  std::vector<std::string> parts;
  std::string error;
  if (!ParsePath(path, &parts, &error)) return false;
  std::lock_guard lock(impl_->mutex);
  return impl_->Delete(parts);
}

void Registry::SetValue(std::string_view path, std::string_view name, ULONG type,
                        std::vector<uint8_t> data) {
  auto parts = ParsePathOrThrow(path);
  CheckValueName(name);
  std::lock_guard lock(impl_->mutex);
  Impl::Set(*impl_->Create(parts), name, type, std::move(data));
}

void Registry::SetDword(std::string_view path, std::string_view name, uint32_t value) {
  SetValue(path, name, REG_DWORD,
           {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

void Registry::SetString(std::string_view path, std::string_view name, std::string_view utf8) {
  SetValue(path, name, REG_SZ, StringData(utf8));
}

std::optional<Registry::Value> Registry::GetValue(std::string_view path,
                                                  std::string_view name) const {
  std::vector<std::string> parts;
  std::string error;
  if (!ParsePath(path, &parts, &error)) return std::nullopt;
  std::lock_guard lock(impl_->mutex);
  KeyPtr key = impl_->Find(parts);
  if (!key) return std::nullopt;
  auto it = key->values.find(Fold(name));
  if (it == key->values.end()) return std::nullopt;
  return it->second.value;
}

std::optional<uint32_t> Registry::GetDword(std::string_view path, std::string_view name) const {
  auto v = GetValue(path, name);
  if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
  return uint32_t(v->data[0]) | uint32_t(v->data[1]) << 8 | uint32_t(v->data[2]) << 16 |
         uint32_t(v->data[3]) << 24;
}

std::optional<std::string> Registry::GetString(std::string_view path, std::string_view name) const {
  auto v = GetValue(path, name);
  if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string wide = WideFromBytes(v->data);
  return Utf16ToUtf8(wide.substr(0, wide.find(u'\0')));
}

bool Registry::DeleteValue(std::string_view path, std::string_view name) {
  std::vector<std::string> parts;
  std::string error;
  if (!ParsePath(path, &parts, &error)) return false;
  std::lock_guard lock(impl_->mutex);
  KeyPtr key = impl_->Find(parts);
  return key && key->values.erase(Fold(name)) > 0;
}

std::vector<std::string> Registry::SubKeys(std::string_view path) const {
  std::vector<std::string> parts, names;
  std::string error;
  if (!ParsePath(path, &parts, &error)) return names;
  std::lock_guard lock(impl_->mutex);
  if (KeyPtr key = impl_->Find(parts)) {
    for (const auto &[folded, sub] : key->subkeys) names.push_back(sub->name);
  }
  return names;
}

std::vector<std::string> Registry::ValueNames(std::string_view path) const {
  std::vector<std::string> parts, names;
  std::string error;
  if (!ParsePath(path, &parts, &error)) return names;
  std::lock_guard lock(impl_->mutex);
  if (KeyPtr key = impl_->Find(parts)) {
    for (const auto &[folded, v] : key->values) names.push_back(v.name);
  }
  return names;
}

bool Registry::operator==(const Registry &other) const {
  if (this == &other) return true;
  std::scoped_lock lock(impl_->mutex, other.impl_->mutex);
  for (const auto &[folded, hive] : impl_->hives) {
    if (!SameTree(*hive, *other.impl_->hives.at(folded))) return false;
  }
  return true;
}

// ---------------------------------------------------------------- handles

NTSTATUS Registry::OpenKey(std::string_view path, bool create, HANDLE *handle) {
  return OpenKey(path, create, KEY_ALL_ACCESS, handle);
}

NTSTATUS Registry::OpenKey(std::string_view path, bool create, ACCESS_MASK access, HANDLE *handle) {
  if (!handle) return STATUS_INVALID_PARAMETER;
  std::vector<std::string> parts;
  std::string error;
  if (!ParsePath(path, &parts, &error)) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard lock(impl_->mutex);
  KeyPtr key = create ? impl_->Create(parts) : impl_->Find(parts);
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  const uintptr_t value = impl_->nextHandle;
  impl_->nextHandle += 4;
  impl_->handles[value] = {key, access};
  *handle = reinterpret_cast<HANDLE>(value);
  return STATUS_SUCCESS;
}

NTSTATUS Registry::CloseKey(HANDLE handle) {
  std::lock_guard lock(impl_->mutex);
  return impl_->handles.erase(reinterpret_cast<uintptr_t>(handle)) ? STATUS_SUCCESS
                                                                   : STATUS_INVALID_HANDLE;
}

NTSTATUS Registry::QueryValue(HANDLE handle, std::string_view name, KEY_VALUE_INFORMATION_CLASS cls,
                              PVOID buffer, ULONG length, PULONG resultLength) {
  std::lock_guard lock(impl_->mutex);
  Impl::OpenHandle *open = impl_->Lookup(handle);
  if (!open) return STATUS_INVALID_HANDLE;
  if (!(open->access & KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
  // Only partial information is served: it is all the driver asks for.
  if (cls != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
  if (!resultLength || (!buffer && length > 0)) return STATUS_INVALID_PARAMETER;
  if (open->key->deleted) return STATUS_KEY_DELETED;
  auto it = open->key->values.find(Fold(name));
  if (it == open->key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;

  const Value &value = it->second.value;
  if (value.data.size() > 0xFFFFFFFFull - kPartialHeader) return STATUS_INSUFFICIENT_RESOURCES;
  const auto dataLength = static_cast<ULONG>(value.data.size());
  const ULONG needed = kPartialHeader + dataLength;
  *resultLength = needed;
  if (length < kPartialHeader) return STATUS_BUFFER_TOO_SMALL;
  // The buffer need not be aligned: copy the fields in.
  auto *out = static_cast<uint8_t *>(buffer);
  const ULONG header[3] = {0, value.type, dataLength};
  std::memcpy(out, header, sizeof(header));
  if (length < needed) return STATUS_BUFFER_OVERFLOW;
  if (dataLength) std::memcpy(out + kPartialHeader, value.data.data(), dataLength);
  return STATUS_SUCCESS;
}

NTSTATUS Registry::SetValueByHandle(HANDLE handle, std::string_view name, ULONG type,
                                    const void *data, ULONG size) {
  std::lock_guard lock(impl_->mutex);
  Impl::OpenHandle *open = impl_->Lookup(handle);
  if (!open) return STATUS_INVALID_HANDLE;
  if (!(open->access & KEY_SET_VALUE)) return STATUS_ACCESS_DENIED;
  if (!data && size > 0) return STATUS_INVALID_PARAMETER;
  if (open->key->deleted) return STATUS_KEY_DELETED;
  auto wide = Utf8ToUtf16Strict(name);
  if (!wide || wide->size() > kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
  if (impl_->writesFail) return STATUS_ACCESS_DENIED;
  const auto *bytes = static_cast<const uint8_t *>(data);
  Impl::Set(*open->key, name, type, std::vector<uint8_t>(bytes, bytes + size));
  return STATUS_SUCCESS;
}

size_t Registry::openHandles() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->handles.size();
}

void Registry::SetWritesFail(bool fail) {
  std::lock_guard lock(impl_->mutex);
  impl_->writesFail = fail;
}

// ---------------------------------------------------------------- export files: writing

namespace {

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

void WriteKey(std::string &out, const std::string &path, const Key &key, bool header) {
  if (header) {
    out += "[" + path + "]\r\n";
    for (const auto &[folded, nv] : key.values) WriteValue(out, nv);
    out += "\r\n";
  }
  for (const auto &[folded, sub] : key.subkeys) {
    WriteKey(out, path + "\\" + sub->name, *sub, true);
  }
}

}  // namespace

std::string Registry::Impl::Export(Encoding encoding, const std::vector<std::string> &roots) const {
  std::string text = std::string(kHeader5) + "\r\n\r\n";
  if (roots.empty()) {
    for (const auto &[folded, hive] : hives) {
      WriteKey(text, hive->name, *hive, !hive->values.empty());
    }
  } else {
    for (const std::string &root : roots) {
      auto parts = ParsePathOrThrow(root);
      KeyPtr key = Find(parts);
      if (!key) continue;
      // Spell the path as stored, not as asked.
      std::string path = hives.at(Fold(parts[0]))->name;
      KeyPtr walk = hives.at(Fold(parts[0]));
      for (size_t i = 1; i < parts.size(); ++i) {
        walk = walk->subkeys.at(Fold(parts[i]));
        path += "\\" + walk->name;
      }
      WriteKey(text, path, *key, parts.size() > 1 || !key->values.empty());
    }
  }
  if (encoding == Encoding::Utf8) return text;
  std::u16string wide = Utf8ToUtf16(text);
  std::string bytes = "\xFF\xFE";
  bytes.reserve(2 + wide.size() * 2);
  for (char16_t c : wide) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

std::string Registry::SaveText(Encoding encoding, const std::vector<std::string> &roots) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->Export(encoding, roots);
}

void Registry::Save(const std::filesystem::path &file, Encoding encoding,
                    const std::vector<std::string> &roots) const {
  const std::string bytes = SaveText(encoding, roots);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw RegFileError(file.string() + ": cannot write the file");
}

// ---------------------------------------------------------------- export files: reading

namespace {

struct Line {
  size_t number;
  std::string text;  // UTF-8, without the line break
};

[[noreturn]] void Fail(size_t line, const std::string &what) {
  throw RegFileError("line " + std::to_string(line) + ": " + what);
}

// Splits decoded text at CRLF, LF or a lone CR.
template <typename Char, typename Emit>
void SplitLines(std::basic_string_view<Char> text, Emit emit) {
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == Char('\r') || text[i] == Char('\n')) {
      emit(text.substr(start, i - start));
      if (text[i] == Char('\r') && i + 1 < text.size() && text[i + 1] == Char('\n')) ++i;
      start = i + 1;
    }
  }
  if (start < text.size()) emit(text.substr(start));
}

std::vector<Line> DecodeLines(std::string_view bytes, bool *regedit4) {
  std::vector<Line> lines;
  if (bytes.starts_with("\xFE\xFF")) Fail(1, "UTF-16 big-endian files are not supported");
  if (bytes.starts_with("\xFF\xFE")) {
    bytes.remove_prefix(2);
    std::u16string wide;
    wide.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      wide += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                    static_cast<unsigned char>(bytes[i + 1]) << 8);
    }
    SplitLines<char16_t>(wide, [&](std::u16string_view line) {
      const size_t number = lines.size() + 1;
      std::string text;
      for (size_t i = 0; i < line.size();) {
        char32_t c;
        size_t len;
        if (!DecodeUtf16(line, i, &c, &len)) Fail(number, "unpaired UTF-16 surrogate");
        if (c == 0) Fail(number, "NUL character");
        AppendUtf8(text, c);
        i += len;
      }
      lines.push_back({number, std::move(text)});
    });
    if (bytes.size() % 2) {
      Fail(std::max<size_t>(lines.size(), 1), "the file ends inside a UTF-16 character");
    }
  } else {
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    // REGEDIT4 files are in the ANSI code page; one that is not UTF-8 is read as Latin-1.
    bool latin1 = false;
    if (bytes.starts_with(kHeader4)) {
      latin1 = !Utf8ToUtf16Strict(bytes).has_value();
    }
    SplitLines<char>(bytes, [&](std::string_view line) {
      const size_t number = lines.size() + 1;
      std::string text;
      for (size_t i = 0; i < line.size();) {
        char32_t c;
        size_t len;
        if (latin1) {
          c = static_cast<unsigned char>(line[i]), len = 1;
        } else if (!DecodeUtf8(line, i, &c, &len)) {
          Fail(number, "invalid UTF-8");
        }
        if (c == 0) Fail(number, "NUL character (a UTF-16 file without its byte-order mark?)");
        AppendUtf8(text, c);
        i += len;
      }
      lines.push_back({number, std::move(text)});
    });
  }
  if (lines.empty()) Fail(1, "empty file: expected the header '" + std::string(kHeader5) + "'");
  std::string_view header = lines[0].text;
  while (!header.empty() && (header.back() == ' ' || header.back() == '\t')) {
    header.remove_suffix(1);
  }
  if (header == kHeader5) {
    *regedit4 = false;
  } else if (header == kHeader4) {
    *regedit4 = true;
  } else {
    Fail(1,
         "expected the header '" + std::string(kHeader5) + "' or '" + std::string(kHeader4) + "'");
  }
  return lines;
}

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

struct Op {
  enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
  std::vector<std::string> path;
  std::string name;
  Registry::Value value;
};

// Reads the comma-separated bytes after "hex:", following '\' continuations; *index
// moves to the last line used.
std::vector<uint8_t> ParseHexBytes(std::string_view text, const std::vector<Line> &lines,
                                   size_t *index) {
  std::vector<uint8_t> bytes;
  for (;;) {
    const size_t number = lines[*index].number;
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
        Fail(number, "bad byte '" + std::string(token) + "' in hex data (expected 2 hex digits)");
      }
      int n = HexDigit(token[0]);
      if (token.size() == 2) n = n * 16 + HexDigit(token[1]);
      bytes.push_back(static_cast<uint8_t>(n));
      trailingComma = comma != std::string_view::npos;
      segment = comma == std::string_view::npos ? std::string_view{} : segment.substr(comma + 1);
    }
    if (!more) {
      if (trailingComma) Fail(number, "hex data ends with a comma");
      return bytes;
    }
    if (*index + 1 >= lines.size()) Fail(number, "hex data continues past the end of the file");
    ++*index;
    text = lines[*index].text;
    if (Trim(text).empty()) Fail(lines[*index].number, "hex data continues on a blank line");
  }
}

std::vector<Op> ParseRegFile(std::string_view bytes) {
  bool regedit4 = false;
  const std::vector<Line> lines = DecodeLines(bytes, &regedit4);
  std::vector<Op> ops;
  std::vector<std::string> current;  // the key values go to
  bool currentDeleted = false;
  for (size_t index = 1; index < lines.size(); ++index) {
    const size_t number = lines[index].number;
    std::string_view text = Trim(lines[index].text);
    if (text.empty() || text.front() == ';') continue;

    if (text.front() == '[') {
      if (text.back() != ']') Fail(number, "key line without a closing ']'");
      std::string_view path = text.substr(1, text.size() - 2);
      const bool remove = path.starts_with('-');
      if (remove) path.remove_prefix(1);
      std::vector<std::string> parts;
      std::string error;
      if (!ParsePath(path, &parts, &error)) {
        Fail(number, "bad key '" + std::string(path) + "': " + error);
      }
      if (remove && parts.size() < 2) {
        Fail(number, "the root key '" + parts[0] + "' cannot be deleted");
      }
      ops.push_back({remove ? Op::kDeleteKey : Op::kCreateKey, parts, {}, {}});
      current = std::move(parts);
      currentDeleted = remove;
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

    Op op{Op::kSetValue, current, name, {}};
    if (text == "-") {
      op.kind = Op::kDeleteValue;
    } else if (text.starts_with('"')) {
      std::string value = ParseQuoted(&text, number, "string");
      if (!Trim(text).empty()) Fail(number, "unexpected text after the string");
      op.value = {REG_SZ, StringData(value)};
    } else if (StartsWithNoCase(text, "dword:")) {
      std::string_view digits = text.substr(6);
      uint32_t n = 0;
      bool ok = !digits.empty() && digits.size() <= 8;
      for (char c : digits) {
        ok = ok && HexDigit(c) >= 0;
        if (ok) n = n * 16 + static_cast<uint32_t>(HexDigit(c));
      }
      if (!ok) {
        Fail(number, "bad dword '" + std::string(digits) + "' (expected up to 8 hex digits)");
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
      op.value = {type, ParseHexBytes(text, lines, &index)};
      // REGEDIT4 text in hex is ANSI; the registry holds it as UTF-16.
      if (regedit4 && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
        std::vector<uint8_t> wide;
        for (uint8_t b : op.value.data) {
          wide.push_back(b);
          wide.push_back(0);
        }
        op.value.data = std::move(wide);
      }
    } else {
      Fail(number, "unknown value data '" + std::string(text.substr(0, 20)) +
                       "' (expected \"string\", dword:, hex: or -)");
    }
    ops.push_back(std::move(op));
  }
  return ops;
}

}  // namespace

void Registry::LoadText(std::string_view bytes) {
  const std::vector<Op> ops = ParseRegFile(bytes);
  std::lock_guard lock(impl_->mutex);
  for (const Op &op : ops) {
    switch (op.kind) {
      case Op::kCreateKey:
        impl_->Create(op.path);
        break;
      case Op::kDeleteKey:
        impl_->Delete(op.path);
        break;
      case Op::kSetValue:
        Impl::Set(*impl_->Create(op.path), op.name, op.value.type, op.value.data);
        break;
      case Op::kDeleteValue:
        if (KeyPtr key = impl_->Find(op.path)) key->values.erase(Fold(op.name));
        break;
    }
  }
}

void Registry::Load(const std::filesystem::path &file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw RegFileError(file.string() + ": cannot open the file");
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw RegFileError(file.string() + ": cannot read the file");
  try {
    LoadText(bytes);
  } catch (const RegFileError &e) {
    throw RegFileError(file.string() + ": " + e.what());
  }
}

}  // namespace sim
