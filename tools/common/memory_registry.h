// An in-memory HKEY_LOCAL_MACHINE for tests: key and value names compare without case, values
// keep their type and bytes, and opening a key or writing a value can be made to fail.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/common/registry.h"

class MemoryRegistry : public Registry {
 public:
  static constexpr uint32_t kString = 1;  // REG_SZ
  static constexpr uint32_t kBinary = 3;  // REG_BINARY
  static constexpr uint32_t kDword = 4;   // REG_DWORD

  struct Value {
    uint32_t type;
    std::vector<uint8_t> data;
    bool operator==(const Value &) const = default;
  };
  using Values = std::map<std::u16string, Value>;  // keyed by upper-cased name

  void CreateKey(const std::u16string &path);
  void DeleteKey(const std::u16string &path);
  bool HasKey(const std::u16string &path) const;
  void Set(const std::u16string &path, const std::u16string &name, Value value);
  void SetDword(const std::u16string &path, const std::u16string &name, uint32_t value);
  // A REG_SZ with its terminating zero, as the platform stores it.
  void SetString(const std::u16string &path, const std::u16string &name,
                 const std::u16string &text);
  void DeleteValue(const std::u16string &path, const std::u16string &name);
  std::optional<Value> Get(const std::u16string &path, const std::u16string &name) const;
  std::optional<uint32_t> GetDword(const std::u16string &path, const std::u16string &name) const;
  // Every value of the key, for comparing snapshots.
  Values Snapshot(const std::u16string &path) const;

  // Failure injection: the key cannot be opened (as without rights), or a value cannot be written.
  void DenyOpen(const std::u16string &path) { denied_.insert(Fold(path)); }
  void FailWrite(const std::u16string &name) { failingWrites_.insert(Fold(name)); }

  std::unique_ptr<Key> OpenMachineKey(const std::u16string &path) override;

  // Upper-cases ASCII letters: names compare without case, as on the platform.
  static std::u16string Fold(const std::u16string &text);

 private:
  class OpenKey;
  std::map<std::u16string, Values> keys_;
  std::set<std::u16string> denied_;
  std::set<std::u16string> failingWrites_;
};
