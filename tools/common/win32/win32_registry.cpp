#include "tools/common/win32/win32_registry.h"

#include "tools/common/platform.h"

namespace {

class Win32Key : public Registry::Key {
 public:
  explicit Win32Key(HKEY key) : key_(key) {}
  ~Win32Key() override { RegCloseKey(key_); }
  Win32Key(const Win32Key &) = delete;
  Win32Key &operator=(const Win32Key &) = delete;

  bool Read(const std::u16string &name, void *buffer, uint32_t *size) override {
    DWORD bytes = *size;
    LONG status = RegQueryValueExW(key_, AsWide(name.c_str()), nullptr, nullptr,
                                   static_cast<BYTE *>(buffer), &bytes);
    if (status != ERROR_SUCCESS) return false;
    *size = bytes;
    return true;
  }

  bool WriteDword(const std::u16string &name, uint32_t value) override {
    DWORD data = value;
    return RegSetValueExW(key_, AsWide(name.c_str()), 0, REG_DWORD,
                          reinterpret_cast<const BYTE *>(&data), sizeof(data)) == ERROR_SUCCESS;
  }

 private:
  HKEY key_;
};

}  // namespace

std::unique_ptr<Registry::Key> Win32Registry::OpenMachineKey(const std::u16string &path) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, AsWide(path.c_str()), 0, KEY_ALL_ACCESS, &key) !=
      ERROR_SUCCESS)
    return nullptr;
  return std::make_unique<Win32Key>(key);
}
