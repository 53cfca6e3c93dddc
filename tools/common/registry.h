// The registry as the settings tools use it: keys of HKEY_LOCAL_MACHINE opened by path with
// full access, values read into a caller's buffer whatever their type, REG_DWORD writes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class Registry {
 public:
  class Key {
   public:
    virtual ~Key() = default;
    // Copies the value's data into buffer. Fails when the value is missing or its data does
    // not fit; *size is the number of bytes copied.
    virtual bool Read(const std::u16string &name, void *buffer, uint32_t *size) = 0;
    virtual bool WriteDword(const std::u16string &name, uint32_t value) = 0;
  };

  virtual ~Registry() = default;
  // Opens an existing key below HKEY_LOCAL_MACHINE (never creates one); null on failure.
  virtual std::unique_ptr<Key> OpenMachineKey(const std::u16string &path) = 0;
};
