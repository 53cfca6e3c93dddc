#include "sim/kernel/registry.h"

#include <cstring>

#include "sim/kernel/registry_text.h"
#include "sim/kernel/registry_tree.h"

namespace sim {

using regtext::EqualsNoCase;
using regtext::Fold;
using regtext::StringData;
using regtext::Utf8ToUtf16Strict;
using regtext::WideFromBytes;
using namespace regtree;

namespace {

constexpr ULONG kPartialHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

// ---------------------------------------------------------------- paths

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
bool ParsePathImpl(std::string_view path, std::vector<std::string> *parts, std::string *error) {
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
  if (names.size() - first > kMaxDepth) {
    *error = "more than " + std::to_string(kMaxDepth) + " levels of keys";
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

void CheckValueName(std::string_view name) {
  auto wide = Utf8ToUtf16Strict(name);
  if (!wide) throw std::invalid_argument("registry value name is not valid UTF-8");
  if (wide->size() > kMaxValueNameChars) {
    throw std::invalid_argument("registry value name longer than 16383 characters");
  }
}

// ---------------------------------------------------------------- the tree

// Walks without recursion: a tree is as deep as the paths allow.
void MarkDeleted(Key &root) {
  std::vector<Key *> pending{&root};
  while (!pending.empty()) {
    Key *key = pending.back();
    pending.pop_back();
    key->deleted = true;
    for (auto &[folded, sub] : key->subkeys) pending.push_back(sub.get());
  }
}

bool SameKey(const Key &a, const Key &b) {
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
  return true;
}

bool SameTree(const Key &a, const Key &b) {
  std::vector<std::pair<const Key *, const Key *>> pending{{&a, &b}};
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    if (!SameKey(*x, *y)) return false;
    for (auto ix = x->subkeys.begin(), iy = y->subkeys.begin(); ix != x->subkeys.end();
         ++ix, ++iy) {
      if (ix->first != iy->first) return false;
      pending.emplace_back(ix->second.get(), iy->second.get());
    }
  }
  return true;
}

}  // namespace

namespace regtree {

bool ParsePath(std::string_view path, std::vector<std::string> *parts, std::string *error) {
  return ParsePathImpl(path, parts, error);
}

std::vector<std::string> ParsePathOrThrow(std::string_view path) {
  std::vector<std::string> parts;
  std::string error;
  if (!ParsePath(path, &parts, &error)) {
    throw std::invalid_argument("registry path '" + std::string(path) + "': " + error);
  }
  return parts;
}

}  // namespace regtree

Registry::Impl::Impl() {
  for (const Hive &h : kHives) {
    auto key = std::make_shared<Key>();
    key->name = h.name;
    hives[Fold(h.name)] = key;
  }
}

KeyPtr Registry::Impl::Find(const std::vector<std::string> &parts) const {
  KeyPtr key = hives.at(Fold(parts[0]));
  for (size_t i = 1; i < parts.size() && key; ++i) {
    auto it = key->subkeys.find(Fold(parts[i]));
    key = it == key->subkeys.end() ? nullptr : it->second;
  }
  return key;
}

KeyPtr Registry::Impl::Create(const std::vector<std::string> &parts) {
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

bool Registry::Impl::Delete(const std::vector<std::string> &parts) {
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

void Registry::Impl::Set(Key &key, std::string_view name, ULONG type, std::vector<uint8_t> data) {
  NamedValue &slot = key.values[Fold(name)];
  if (slot.name.empty()) slot.name = name;  // an existing value keeps its spelling
  slot.value.type = type;
  slot.value.data = std::move(data);
}

Registry::Impl::OpenHandle *Registry::Impl::Lookup(HANDLE handle) {
  auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == handles.end() ? nullptr : &it->second;
}

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

}  // namespace sim
