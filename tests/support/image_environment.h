// The suites that run on the image: one that has not been built skips them.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/driver_choice.h"

namespace suite {

// An image that has not been built skips the run (the windows preset makes it), unless the
// test command asks for it (MORVANE_REQUIRE_WINDOWS_BUILD): then every test fails on loading.
class ImageEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const char *path = DriverImagePath();
    if (path == nullptr || std::filesystem::exists(path) ||
        std::getenv("MORVANE_REQUIRE_WINDOWS_BUILD") != nullptr)
      return;
    GTEST_SKIP() << path << " has not been built (the windows preset makes it)";
  }
};
inline ::testing::Environment *const kImageEnvironment =
    ::testing::AddGlobalTestEnvironment(new ImageEnvironment);

}  // namespace suite
