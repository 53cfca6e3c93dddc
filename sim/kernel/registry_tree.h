// The registry's key tree as the export-file reader and writer see it: keys with
// their values, the hives, and path parsing. Only the registry's own files include it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/kernel/registry.h"

namespace sim::regtree {

// Key names longer than this are refused, as the platform refuses them.
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
// The platform's registry is at most 512 levels deep below a hive; deeper paths are
// refused here too, which also bounds what a file can make the writer repeat.
constexpr size_t kMaxDepth = 512;

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

struct Hive {
  std::string_view name;
  std::string_view alias;
};
inline constexpr Hive kHives[] = {
    {"HKEY_CLASSES_ROOT", "HKCR"}, {"HKEY_CURRENT_USER", "HKCU"},   {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_USERS", "HKU"},         {"HKEY_CURRENT_CONFIG", "HKCC"},
};

// Splits a path into the canonical hive name and the key names below it; false with
// the reason when it is unusable.
bool ParsePath(std::string_view path, std::vector<std::string> *parts, std::string *error);
std::vector<std::string> ParsePathOrThrow(std::string_view path);  // std::invalid_argument

}  // namespace sim::regtree

namespace sim {

struct Registry::Impl {
  struct OpenHandle {
    regtree::KeyPtr key;
    ACCESS_MASK access;
  };

  mutable std::mutex mutex;
  std::map<std::u16string, regtree::KeyPtr> hives;
  std::map<uintptr_t, OpenHandle> handles;
  // Kernel-style handle values: multiples of 4, never reused.
  uintptr_t nextHandle = 0x80000004;
  bool writesFail = false;

  Impl();
  regtree::KeyPtr Find(const std::vector<std::string> &parts) const;
  regtree::KeyPtr Create(const std::vector<std::string> &parts);
  bool Delete(const std::vector<std::string> &parts);
  static void Set(regtree::Key &key, std::string_view name, ULONG type, std::vector<uint8_t> data);
  OpenHandle *Lookup(HANDLE handle);
  // The export file's text, handed out a key at a time (registry_file.cpp).
  void Export(Encoding encoding, const std::vector<std::string> &roots,
              const std::function<void(std::string_view)> &out) const;
};

}  // namespace sim
