// Asserting that a scenario breaks a platform rule.
#pragma once

#include <gtest/gtest.h>

#include "sim/kernel/verifier.h"

#define EXPECT_VERIFIER_STOP(expectedRule, statement)                                     \
  do {                                                                                    \
    bool stopped_ = false;                                                                \
    try {                                                                                 \
      statement;                                                                          \
    } catch (const sim::VerifierStop &stop_) {                                            \
      stopped_ = true;                                                                    \
      EXPECT_EQ(stop_.rule(), expectedRule) << stop_.what();                              \
    }                                                                                     \
    EXPECT_TRUE(stopped_) << "expected a verifier stop: " << sim::RuleName(expectedRule); \
  } while (0)
