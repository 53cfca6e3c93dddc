// The compliance checks are only worth their lines if they fail: run against the test
// minidriver, sound and then broken on purpose.
#include <gtest/gtest.h>

#include "compliance.h"
#include "sim/ks/test_minidriver.h"

namespace {

std::string Check(testmini::Rig &b, ctl::ComplianceResult *out) {
  *out = ctl::CheckCompliance(*b.client, b.m, {{"testmini", b.Link()}});
  return out->text;
}

const char kOwnRange[] = "testmini pin 0: intersection with published range 0";

TEST(CtlComplianceChecks, ARefusedOwnRangeAndAFailingStateStepEachGiveAClearLine) {
  ctl::ComplianceResult sound;
  {
    testmini::Rig b;
    testmini::config().framePeriodMs = 10;
    std::string text = Check(b, &sound);
    EXPECT_NE(text.find(std::string(kOwnRange) + " gives a format of that range: ok"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("every state walk succeeds and KSPROPERTY_CONNECTION_STATE follows: ok"),
              std::string::npos)
        << text;
    EXPECT_TRUE(b.Remove());
  }
  {
    // The pin's intersect handler refuses the range the pin itself publishes: the class
    // driver falls through to the pin's other range, which proposes another subtype.
    testmini::Rig b;
    testmini::config().framePeriodMs = 10;
    testmini::config().intersectRefuses[0] = true;
    ctl::ComplianceResult broken;
    std::string text = Check(b, &broken);
    EXPECT_NE(text.find(std::string(kOwnRange) +
                        " gives a format of that range: FAIL: the format's GUIDs are not the "
                        "range's"),
              std::string::npos)
        << text;
    EXPECT_EQ(sound.failed, 0);
    EXPECT_GT(broken.failed, 0);
    EXPECT_NE(text.find("total: "), std::string::npos);
    EXPECT_TRUE(b.Remove());
  }
  {
    // Going to PAUSE fails in the minidriver: the walk reports where.
    testmini::Rig b;
    testmini::config().framePeriodMs = 10;
    testmini::config().failTo = KSSTATE_PAUSE;
    ctl::ComplianceResult broken;
    std::string text = Check(b, &broken);
    EXPECT_NE(text.find("every state walk succeeds and KSPROPERTY_CONNECTION_STATE follows: "
                        "FAIL: ACQUIRE to PAUSE: 0xC000009A STATUS_INSUFFICIENT_RESOURCES"),
              std::string::npos)
        << text;
    EXPECT_TRUE(b.Remove());
  }
}

}  // namespace
