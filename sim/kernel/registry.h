// The registry: keys and values, the kernel's handle-based view, and Windows
// registry export files so a simulated machine's settings persist.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Returned for handles to keys deleted after they were opened.
#ifndef STATUS_KEY_DELETED
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017C)
#endif

namespace sim {

// Paths are backslash separated and case-insensitive, rooted at a hive:
// "HKEY_LOCAL_MACHINE\SYSTEM\..." ("HKLM\..." and the native "\Registry\Machine\..." too).
class Registry {
 public:
  struct Value {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
  };

  Registry();
  ~Registry();

  bool KeyExists(std::string_view path) const;
  // Malformed paths (unknown root, empty or over-long names, control characters, more
  // than 512 levels below the hive)
  // make the writers throw std::invalid_argument and the readers find nothing.
  void CreateKey(std::string_view path);  // with its parents
  bool DeleteKey(std::string_view path);  // with its subkeys
  void SetValue(std::string_view path, std::string_view name, ULONG type,
                std::vector<uint8_t> data);  // creates the key
  void SetDword(std::string_view path, std::string_view name, uint32_t value);
  void SetString(std::string_view path, std::string_view name, std::string_view utf8);
  std::optional<Value> GetValue(std::string_view path, std::string_view name) const;
  // A REG_DWORD of exactly 4 bytes; anything else reads as missing.
  std::optional<uint32_t> GetDword(std::string_view path, std::string_view name) const;
  // A REG_SZ or REG_EXPAND_SZ, up to its first terminator.
  std::optional<std::string> GetString(std::string_view path, std::string_view name) const;
  bool DeleteValue(std::string_view path, std::string_view name);
  std::vector<std::string> SubKeys(std::string_view path) const;
  std::vector<std::string> ValueNames(std::string_view path) const;

  // The kernel's view: handles to keys. Without an access mask the handle gets full
  // access; otherwise queries need KEY_QUERY_VALUE and writes KEY_SET_VALUE.
  NTSTATUS OpenKey(std::string_view path, bool create, HANDLE *handle);
  NTSTATUS OpenKey(std::string_view path, bool create, ACCESS_MASK access, HANDLE *handle);
  NTSTATUS CloseKey(HANDLE handle);
  NTSTATUS QueryValue(HANDLE handle, std::string_view name, KEY_VALUE_INFORMATION_CLASS cls,
                      PVOID buffer, ULONG length, PULONG resultLength);
  NTSTATUS SetValueByHandle(HANDLE handle, std::string_view name, ULONG type, const void *data,
                            ULONG size);
  size_t openHandles() const;
  // Fail the next writes through handles (simulates a read-only hive) while set.
  void SetWritesFail(bool fail);

  // Export files ("Windows Registry Editor Version 5.00"; UTF-16LE with BOM or UTF-8).
  enum class Encoding { Utf16le, Utf8 };
  // Limits a file is held to, far above what real exports hold (the platform itself
  // keeps values of its standard hive format under 1 MB).
  static constexpr size_t kMaxFileBytes = size_t{1} << 30;
  static constexpr size_t kMaxLineChars = size_t{64} << 20;
  static constexpr size_t kMaxValueBytes = size_t{16} << 20;
  // Merges the file into the registry. Throws RegFileError naming the line on bad input;
  // on error nothing of the file is applied. Only a regular file is read.
  void Load(const std::filesystem::path &file);
  void LoadText(std::string_view bytes);
  // Writes the keys below the given roots (all keys when empty), sorted. A root that
  // does not exist contributes nothing; a malformed one throws std::invalid_argument.
  // The file is replaced whole (a temporary beside it, renamed over it), so a failed
  // save leaves it as it was; RegFileError says why.
  void Save(const std::filesystem::path &file, Encoding encoding = Encoding::Utf16le,
            const std::vector<std::string> &roots = {}) const;
  std::string SaveText(Encoding encoding = Encoding::Utf16le,
                       const std::vector<std::string> &roots = {}) const;

  // Same keys (names compared exactly), values, types and bytes.
  bool operator==(const Registry &other) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class RegFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace sim
