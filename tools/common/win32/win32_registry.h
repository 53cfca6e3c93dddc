// The registry of the machine the tool runs on (advapi32).
#pragma once

#include "tools/common/registry.h"

class Win32Registry : public Registry {
 public:
  std::unique_ptr<Key> OpenMachineKey(const std::u16string &path) override;
};
