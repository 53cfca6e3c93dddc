// Property requests through the host: pin factory queries, data intersection, size
// checks before handlers, basic support from values, and the statuses clients see.
#include <gtest/gtest.h>

#include "support/verifier_expect.h"
#include "tests/sim/ks/test_minidriver.h"

namespace {

using sim::ks::Handle;
using testmini::Rig;

std::vector<std::string> &Log() { return testmini::log(); }

std::vector<uint8_t> Range(const GUID &sub, ULONG width = 0, ULONG height = 0) {
  return testmini::ClientRange(KSDATAFORMAT_TYPE_VIDEO, sub, testmini::kSpecifier, width, height);
}

TEST(KsPinQueries, WhatTheDescriptorSays) {
  Rig b;
  Handle f = b.Open();
  ULONG count = 0;
  ASSERT_EQ(b.client->PinCount(f, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 1u);
  KSPIN_DATAFLOW flow{};
  EXPECT_EQ(b.client->PinDataFlow(f, 0, &flow), STATUS_SUCCESS);
  EXPECT_EQ(flow, KSPIN_DATAFLOW_OUT);
  KSPIN_COMMUNICATION communication{};
  EXPECT_EQ(b.client->PinCommunication(f, 0, &communication), STATUS_SUCCESS);
  EXPECT_EQ(communication, KSPIN_COMMUNICATION_BOTH);
  GUID category{};
  EXPECT_EQ(b.client->PinCategory(f, 0, &category), STATUS_SUCCESS);
  EXPECT_EQ(category, PINNAME_VIDEO_CAPTURE);
  std::u16string name;
  EXPECT_EQ(b.client->PinName(f, 0, &name), STATUS_SUCCESS);
  EXPECT_EQ(name, u"Capture");
  ULONG necessary = 9;
  EXPECT_EQ(b.client->PinNecessaryInstances(f, 0, &necessary), STATUS_SUCCESS);
  EXPECT_EQ(necessary, 0u);
  KSPIN_CINSTANCES instances{};
  b.Pin(f);
  EXPECT_EQ(b.client->PinInstances(f, 0, &instances), STATUS_SUCCESS);
  EXPECT_EQ(instances.PossibleCount, 2u);
  EXPECT_EQ(instances.CurrentCount, 1u);

  std::vector<std::vector<uint8_t>> ranges;
  ASSERT_EQ(b.client->PinDataRanges(f, 0, &ranges), STATUS_SUCCESS);
  ASSERT_EQ(ranges.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(ranges[i].size(), sizeof(testmini::TestRange));
    EXPECT_EQ(std::memcmp(ranges[i].data(), &testmini::range(i), sizeof(testmini::TestRange)), 0);
  }

  EXPECT_EQ(b.client->PinDataFlow(f, 1, &flow), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(b.client->PinCount(f + 100, &count), STATUS_INVALID_HANDLE);
  EXPECT_EQ(b.client->PinCount(b.Pin(f), &count), STATUS_NOT_FOUND)
      << "pin factory queries go to the filter";
}

TEST(KsIntersection, EachMatchingPinRangeInListOrderFirstAnswerWins) {
  Rig b;
  Handle f = b.Open();
  Log().clear();
  std::vector<uint8_t> format;
  ASSERT_EQ(b.client->DataIntersection(f, 0, {Range(KSDATAFORMAT_SUBTYPE_YUY2, 100, 50)}, &format),
            STATUS_SUCCESS);
  // The size query, then the request: range 0 answers both times.
  EXPECT_EQ(Log(),
            (std::vector<std::string>{"intersect range=0 size=0", "intersect range=0 size=72"}));
  ASSERT_EQ(format.size(), sizeof(testmini::TestFormat));
  testmini::TestFormat result;
  std::memcpy(&result, format.data(), sizeof result);
  EXPECT_EQ(result.DataFormat.SubFormat, KSDATAFORMAT_SUBTYPE_YUY2);
  EXPECT_EQ(result.Width, 100u);

  // Range 0 refusing: range 1 (wildcard subformat) is asked next.
  testmini::config().intersectRefuses[0] = true;
  Log().clear();
  ULONG size = 0;
  EXPECT_EQ(b.client->DataIntersectionSize(f, 0, {Range(KSDATAFORMAT_SUBTYPE_YUY2)}, &size),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, sizeof(testmini::TestFormat));
  EXPECT_EQ(Log(),
            (std::vector<std::string>{"intersect range=0 size=0", "intersect range=1 size=0"}));

  // A client range the pin cannot serve, then one it can: the second one is used.
  testmini::config().intersectRefuses[0] = false;
  Log().clear();
  auto audio = testmini::ClientRange(KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
                                     testmini::kSpecifier);
  ASSERT_EQ(b.client->DataIntersection(f, 0, {audio, Range(KSDATAFORMAT_SUBTYPE_UYVY)}, &format),
            STATUS_SUCCESS);
  EXPECT_EQ(Log().front(), "intersect range=1 size=0") << "UYVY only meets the wildcard range";
  std::memcpy(&result, format.data(), sizeof result);
  EXPECT_EQ(result.Width, 320u);

  // A wildcard client range meets both; nothing meets an unknown specifier.
  Log().clear();
  auto wildcard = testmini::ClientRange(KSDATAFORMAT_TYPE_WILDCARD, KSDATAFORMAT_SUBTYPE_WILDCARD,
                                        KSDATAFORMAT_SPECIFIER_WILDCARD);
  EXPECT_EQ(b.client->DataIntersectionSize(f, 0, {wildcard}, &size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Log(), (std::vector<std::string>{"intersect range=0 size=0"}));
  Log().clear();
  auto other = testmini::ClientRange(KSDATAFORMAT_TYPE_VIDEO, KSDATAFORMAT_SUBTYPE_YUY2,
                                     KSDATAFORMAT_SPECIFIER_NONE);
  EXPECT_EQ(b.client->DataIntersection(f, 0, {other}, &format), STATUS_NO_MATCH);
  EXPECT_TRUE(Log().empty());
}

TEST(KsIntersection, BufferSizesAndMalformedRequests) {
  Rig b;
  Handle f = b.Open();
  auto request = [](std::vector<uint8_t> range, ULONG declaredSize) {
    KSP_PIN pin{};
    pin.Property.Set = KSPROPSETID_Pin;
    pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    pin.Property.Flags = KSPROPERTY_TYPE_GET;
    std::vector<uint8_t> bytes(sizeof pin + sizeof(KSMULTIPLE_ITEM));
    std::memcpy(bytes.data(), &pin, sizeof pin);
    KSMULTIPLE_ITEM items{declaredSize, 1};
    std::memcpy(bytes.data() + sizeof pin, &items, sizeof items);
    bytes.insert(bytes.end(), range.begin(), range.end());
    return bytes;
  };
  auto ok = request(Range(KSDATAFORMAT_SUBTYPE_YUY2), 8 + sizeof(testmini::TestRange));
  std::vector<uint8_t> out(sizeof(testmini::TestFormat) - 1);
  ULONG returned = 0;
  EXPECT_EQ(b.client->Property(f, ok.data(), static_cast<ULONG>(ok.size()), out.data(),
                               static_cast<ULONG>(out.size()), &returned),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0)) << "nothing written";

  Log().clear();
  auto overlong = request(Range(KSDATAFORMAT_SUBTYPE_YUY2), 8 + sizeof(testmini::TestRange) + 64);
  EXPECT_EQ(b.client->Property(f, overlong.data(), static_cast<ULONG>(overlong.size()), nullptr, 0),
            STATUS_INVALID_BUFFER_SIZE);
  auto truncated = Range(KSDATAFORMAT_SUBTYPE_YUY2);
  reinterpret_cast<KSDATARANGE *>(truncated.data())->FormatSize = 4096;
  auto lying = request(truncated, 8 + sizeof(testmini::TestRange));
  EXPECT_EQ(b.client->Property(f, lying.data(), static_cast<ULONG>(lying.size()), nullptr, 0),
            STATUS_INVALID_BUFFER_SIZE);
  EXPECT_TRUE(Log().empty());
}

TEST(KsProperties, SizesAreCheckedBeforeTheHandler) {
  Rig b;
  Handle f = b.Open();
  KSPROPERTY get{};
  get.Set = testmini::kPropertySet;
  get.Id = testmini::kPropLevel;
  get.Flags = KSPROPERTY_TYPE_GET;
  LONG value = 0;
  ULONG returned = 0;
  ASSERT_EQ(b.client->Property(f, &get, sizeof get, &value, sizeof value, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(value, testmini::kLevelDefault);
  EXPECT_EQ(returned, sizeof(LONG));
  EXPECT_EQ(testmini::seen().calls, 1);

  // Size query, short data, short request: the handler is not called.
  EXPECT_EQ(b.client->Property(f, &get, sizeof get, nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, sizeof(LONG));
  uint16_t small = 0;
  EXPECT_EQ(b.client->Property(f, &get, sizeof get, &small, sizeof small, &returned),
            STATUS_BUFFER_TOO_SMALL);
  KSPROPERTY status = get;
  status.Id = testmini::kPropStatus;  // MinProperty asks for 8 bytes past the KSPROPERTY
  uint8_t data[16] = {};
  EXPECT_EQ(b.client->Property(f, &status, sizeof status, data, sizeof data, &returned),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(b.client->Property(f, &get, sizeof get - 1, &value, sizeof value),
            STATUS_INVALID_BUFFER_SIZE);
  EXPECT_EQ(testmini::seen().calls, 1);

  // The handler's status reaches the client unchanged, customer bit and all.
  uint8_t longer[sizeof(KSPROPERTY) + 8] = {};
  std::memcpy(longer, &status, sizeof status);
  EXPECT_EQ(b.client->Property(f, longer, sizeof longer, data, sizeof data),
            static_cast<NTSTATUS>(0xE0000002));
  EXPECT_EQ(b.client->Set(f, testmini::kPropertySet, testmini::kPropLevel, LONG{11}),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(b.client->Set(f, testmini::kPropertySet, testmini::kPropLevel, LONG{-4}),
            STATUS_SUCCESS);
  EXPECT_EQ(b.client->Get(f, testmini::kPropertySet, testmini::kPropLevel, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, -4);
  EXPECT_EQ(testmini::seen().calls, 5);

  // Unknown sets and items, and operations an item lacks, are not found.
  EXPECT_EQ(b.client->Get(f, KSPROPSETID_General, 0, &value), STATUS_NOT_FOUND);
  EXPECT_EQ(b.client->Get(f, testmini::kPropertySet, 9, &value), STATUS_NOT_FOUND);
  EXPECT_EQ(b.client->Set(f, testmini::kPropertySet, testmini::kPropSupported, value),
            STATUS_NOT_FOUND);
  KSPROPERTY setSupport = get;
  setSupport.Flags = KSPROPERTY_TYPE_SETSUPPORT;
  setSupport.Id = 77;
  EXPECT_EQ(b.client->Property(f, &setSupport, sizeof setSupport, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(b.client->Property(f, &get, sizeof get, nullptr, 4), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(testmini::seen().calls, 5);
}

TEST(KsProperties, BasicSupportFromTheValuesTable) {
  Rig b;
  Handle f = b.Open();
  std::vector<uint8_t> d;
  ASSERT_EQ(b.client->BasicSupport(f, testmini::kPropertySet, testmini::kPropLevel, &d),
            STATUS_SUCCESS);
  struct Full {
    KSPROPERTY_DESCRIPTION description;
    KSPROPERTY_MEMBERSHEADER rangesHeader;
    KSPROPERTY_STEPPING_LONG stepping;
    KSPROPERTY_MEMBERSHEADER defaultHeader;
    LONG defaultValue;
  };
  constexpr size_t kFull = offsetof(Full, defaultValue) + sizeof(LONG);  // no tail padding
  ASSERT_EQ(d.size(), kFull);
  Full full;
  std::memcpy(&full, d.data(), kFull);
  EXPECT_EQ(full.description.AccessFlags,
            ULONG{KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET});
  EXPECT_EQ(full.description.DescriptionSize, kFull);
  EXPECT_EQ(full.description.PropTypeSet.Set, KSPROPTYPESETID_General);
  EXPECT_EQ(full.description.PropTypeSet.Id, 3u);
  EXPECT_EQ(full.description.MembersListCount, 2u);
  EXPECT_EQ(full.rangesHeader.MembersFlags, ULONG{KSPROPERTY_MEMBER_RANGES});
  EXPECT_EQ(full.stepping.SteppingDelta, 1u);
  EXPECT_EQ(full.stepping.Bounds.SignedMinimum, testmini::kLevelMin);
  EXPECT_EQ(full.stepping.Bounds.SignedMaximum, testmini::kLevelMax);
  EXPECT_EQ(full.defaultHeader.Flags, ULONG{KSPROPERTY_MEMBER_FLAG_DEFAULT});
  EXPECT_EQ(full.defaultValue, testmini::kLevelDefault);

  // A ULONG buffer gets the access flags; a description-sized one the description.
  KSPROPERTY p{};
  p.Set = testmini::kPropertySet;
  p.Id = testmini::kPropLevel;
  p.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
  ULONG access = 0, returned = 0;
  ASSERT_EQ(b.client->Property(f, &p, sizeof p, &access, sizeof access, &returned), STATUS_SUCCESS);
  EXPECT_EQ(access, full.description.AccessFlags);
  EXPECT_EQ(returned, sizeof access);
  KSPROPERTY_DESCRIPTION description{};
  ASSERT_EQ(b.client->Property(f, &p, sizeof p, &description, sizeof description, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(description.DescriptionSize, kFull);
  EXPECT_EQ(returned, sizeof description);

  // An item without values describes only its access; a support handler answers for itself.
  p.Id = testmini::kPropStatus;
  ASSERT_EQ(b.client->Property(f, &p, sizeof p, &description, sizeof description), STATUS_SUCCESS);
  EXPECT_EQ(description.AccessFlags, ULONG{KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET});
  EXPECT_EQ(description.MembersListCount, 0u);
  EXPECT_EQ(description.PropTypeSet.Id, 0xFFFFu);
  p.Id = testmini::kPropSupported;
  ASSERT_EQ(b.client->Property(f, &p, sizeof p, &access, sizeof access), STATUS_SUCCESS);
  EXPECT_EQ(access, 0x5A5Au);
}

TEST(KsProperties, PinConnectionProperties) {
  Rig b;
  Handle f = b.Open();
  Handle p = b.Pin(f);
  KSSTATE state = KSSTATE_RUN;
  ASSERT_EQ(b.client->GetState(p, &state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_STOP);
  KSALLOCATOR_FRAMING_EX framing{};
  ASSERT_EQ(b.client->GetAllocatorFraming(p, &framing), STATUS_SUCCESS);
  EXPECT_EQ(framing.FramingItem[0].Frames, 2u);
  EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MaxFrameSize, 8192u);
  uint8_t small[2];
  KSPROPERTY s{};
  s.Set = KSPROPSETID_Connection;
  s.Id = KSPROPERTY_CONNECTION_STATE;
  s.Flags = KSPROPERTY_TYPE_SET;
  EXPECT_EQ(b.client->Property(p, &s, sizeof s, small, sizeof small), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(b.client->GetState(f, &state), STATUS_NOT_FOUND) << "a filter has no state";
}

}  // namespace
