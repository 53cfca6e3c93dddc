#include "tools/common/memory_registry.h"

#include <cstring>

std::u16string MemoryRegistry::Fold(const std::u16string &text) {
  std::u16string out = text;
  for (char16_t &c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return out;
}

class MemoryRegistry::OpenKey : public Registry::Key {
 public:
  OpenKey(MemoryRegistry &owner, std::u16string path) : owner_(owner), path_(std::move(path)) {}

  bool Read(const std::u16string &name, void *buffer, uint32_t *size) override {
    auto key = owner_.keys_.find(path_);
    if (key == owner_.keys_.end()) return false;
    auto value = key->second.find(Fold(name));
    if (value == key->second.end()) return false;
    const std::vector<uint8_t> &data = value->second.data;
    if (data.size() > *size) return false;
    if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
    *size = static_cast<uint32_t>(data.size());
    return true;
  }

  bool WriteDword(const std::u16string &name, uint32_t value) override {
    auto key = owner_.keys_.find(path_);
    if (key == owner_.keys_.end() || owner_.failingWrites_.count(Fold(name)) != 0) return false;
    Value v{kDword, std::vector<uint8_t>(4)};
    std::memcpy(v.data.data(), &value, 4);
    key->second[Fold(name)] = v;
    return true;
  }

 private:
  MemoryRegistry &owner_;
  std::u16string path_;
};

void MemoryRegistry::CreateKey(const std::u16string &path) { keys_[Fold(path)]; }

void MemoryRegistry::DeleteKey(const std::u16string &path) { keys_.erase(Fold(path)); }

bool MemoryRegistry::HasKey(const std::u16string &path) const {
  return keys_.count(Fold(path)) != 0;
}

void MemoryRegistry::Set(const std::u16string &path, const std::u16string &name, Value value) {
  keys_[Fold(path)][Fold(name)] = std::move(value);
}

void MemoryRegistry::SetDword(const std::u16string &path, const std::u16string &name,
                              uint32_t value) {
  Value v{kDword, std::vector<uint8_t>(4)};
  std::memcpy(v.data.data(), &value, 4);
  Set(path, name, std::move(v));
}

void MemoryRegistry::SetString(const std::u16string &path, const std::u16string &name,
                               const std::u16string &text) {
  Value v{kString, std::vector<uint8_t>((text.size() + 1) * 2)};
  std::memcpy(v.data.data(), text.c_str(), v.data.size());
  Set(path, name, std::move(v));
}

void MemoryRegistry::DeleteValue(const std::u16string &path, const std::u16string &name) {
  auto key = keys_.find(Fold(path));
  if (key != keys_.end()) key->second.erase(Fold(name));
}

std::optional<MemoryRegistry::Value> MemoryRegistry::Get(const std::u16string &path,
                                                         const std::u16string &name) const {
  auto key = keys_.find(Fold(path));
  if (key == keys_.end()) return std::nullopt;
  auto value = key->second.find(Fold(name));
  if (value == key->second.end()) return std::nullopt;
  return value->second;
}

std::optional<uint32_t> MemoryRegistry::GetDword(const std::u16string &path,
                                                 const std::u16string &name) const {
  std::optional<Value> v = Get(path, name);
  if (!v || v->type != kDword || v->data.size() != 4) return std::nullopt;
  uint32_t number;
  std::memcpy(&number, v->data.data(), 4);
  return number;
}

MemoryRegistry::Values MemoryRegistry::Snapshot(const std::u16string &path) const {
  auto key = keys_.find(Fold(path));
  return key == keys_.end() ? Values{} : key->second;
}

std::unique_ptr<Registry::Key> MemoryRegistry::OpenMachineKey(const std::u16string &path) {
  std::u16string folded = Fold(path);
  if (keys_.count(folded) == 0 || denied_.count(folded) != 0) return nullptr;
  return std::make_unique<OpenKey>(*this, folded);
}
