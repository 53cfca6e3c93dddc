// The host's objects: published factories and their cached data, restart and
// removal, filter and pin creation against the descriptors, bags and edits.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/kernel/pool.h"
#include "sim/ks/device.h"
#include "support/verifier_expect.h"
#include "tests/sim/ks/test_minidriver.h"

namespace {

using sim::ks::Handle;
using testmini::Rig;

std::vector<std::string> &Log() { return testmini::log(); }

TEST(KsPublication, OneInterfacePerCategoryNamedByTheReferenceGuid) {
  Rig b;
  auto video = b.client->Interfaces(KSCATEGORY_VIDEO);
  auto capture = b.client->Interfaces(KSCATEGORY_CAPTURE);
  ASSERT_EQ(video.size(), 1u);
  ASSERT_EQ(capture.size(), 1u);
  EXPECT_TRUE(b.client->Interfaces(KSCATEGORY_AUDIO).empty());
  EXPECT_EQ(b.client->AllInterfaces().size(), 2u);

  const sim::ks::DeviceInterface &i = video[0];
  EXPECT_EQ(i.referenceGuid, testmini::kFilterGuid);
  EXPECT_EQ(i.referenceString, "{3c1f0a52-6e2d-4b8e-9a11-520d7c448106}");
  EXPECT_EQ(i.categories, (std::vector<GUID>{KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE}));
  EXPECT_EQ(i.deviceInstance, b.c->instancePath);
  EXPECT_EQ(i.symbolicLink.rfind("\\\\?\\pci#ven_", 0), 0u) << i.symbolicLink;
  EXPECT_NE(i.symbolicLink.find("#{6994ad05-93ef-11d0-a3cc-00a0c9223196}\\" + i.referenceString),
            std::string::npos)
      << i.symbolicLink;
  EXPECT_NE(capture[0].symbolicLink, i.symbolicLink);

  // Either interface opens the filter, in any letter case.
  Handle f1 = 0, f2 = 0;
  std::string upper = capture[0].symbolicLink;
  for (char &ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  EXPECT_EQ(b.client->OpenFilter(i.symbolicLink, &f1), STATUS_SUCCESS);
  EXPECT_EQ(b.client->OpenFilter(upper, &f2), STATUS_SUCCESS);
  EXPECT_EQ(b.client->OpenFilter(i.symbolicLink + "x", &f1), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Log(), (std::vector<std::string>{"filter create", "filter create"}));
}

TEST(KsPublication, CachedDataFollowsTheFactoryDescriptorOnlyWhenRefreshed) {
  Rig b(false);
  testmini::config().updateCache = false;
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  auto list = b.client->Interfaces(KSCATEGORY_VIDEO);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_FALSE(list[0].cached);

  // A refresh from the factory's own descriptor, then one from a renamed copy.
  ASSERT_EQ(KsFilterFactoryUpdateCacheData(testmini::factory(), nullptr), STATUS_SUCCESS);
  list = b.client->Interfaces(KSCATEGORY_VIDEO);
  ASSERT_TRUE(list[0].cached);
  ASSERT_EQ(list[0].pins.size(), 1u);
  const sim::ks::CachedPin &pin = list[0].pins[0];
  EXPECT_EQ(pin.name, PINNAME_VIDEO_CAPTURE);
  EXPECT_EQ(pin.category, PINNAME_VIDEO_CAPTURE);
  EXPECT_EQ(pin.dataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(pin.instancesPossible, 2u);
  ASSERT_EQ(pin.ranges.size(), 2u);
  EXPECT_EQ(pin.ranges[0].SubFormat, KSDATAFORMAT_SUBTYPE_YUY2);
  EXPECT_EQ(pin.ranges[1].SubFormat, KSDATAFORMAT_SUBTYPE_WILDCARD);

  KSFILTER_DESCRIPTOR renamed = *testmini::factory()->FilterDescriptor;
  KSPIN_DESCRIPTOR_EX pinCopy = testmini::pinDescriptor();
  pinCopy.PinDescriptor.Name = &PINNAME_VIDEO_PREVIEW;
  renamed.PinDescriptors = &pinCopy;
  ASSERT_EQ(KsFilterFactoryUpdateCacheData(testmini::factory(), &renamed), STATUS_SUCCESS);
  for (const auto &i : b.client->AllInterfaces()) EXPECT_EQ(i.pins[0].name, PINNAME_VIDEO_PREVIEW);
}

TEST(KsPublication, InterfacesLiveWhileTheDeviceIsStartedAndRestartReplacesTheFactory) {
  Rig b(false);
  EXPECT_TRUE(b.client->AllInterfaces().empty()) << "not before the device starts";
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  std::string link = b.Link();

  ASSERT_EQ(b.m.pnp().StopCard(*b.c), STATUS_SUCCESS);
  Handle f = 0;
  EXPECT_TRUE(b.client->AllInterfaces().empty());
  EXPECT_EQ(b.client->OpenFilter(link, &f), STATUS_OBJECT_NAME_NOT_FOUND);

  // The minidriver deleted its factory at stop and makes a new one at start.
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  EXPECT_EQ(b.client->AllInterfaces().size(), 2u);
  EXPECT_EQ(b.Link(), link) << "the same reference names the same interface";
  EXPECT_EQ(b.client->OpenFilter(link, &f), STATUS_SUCCESS);
}

TEST(KsPublication, FactoriesAndTheirBagsChangeOnlyUnderTheDeviceMutex) {
  Rig b;
  void *item = ExAllocatePoolWithTag(NonPagedPool, 8, 'gBfK');
  EXPECT_VERIFIER_STOP(sim::Rule::MutexNotHeld,
                       KsAddItemToObjectBag(testmini::factory()->Bag, item, nullptr));
  EXPECT_VERIFIER_STOP(sim::Rule::MutexNotHeld, KsDeleteFilterFactory(testmini::factory()));
}

// KsDeleteFilterFactory is the platform's macro: the factory's parent device, the device
// header at the start of the FDO's extension, and the create items freed by their context.
TEST(KsPublication, ParentsAndTheDeviceHeaderBehindTheDeleteMacro) {
  Rig b;
  Handle p = b.Pin(b.Open());
  PKSPIN pin = b.KsPin(p);
  PKSFILTER filter = KsPinGetParentFilter(pin);
  EXPECT_EQ(KsGetParent(pin), filter);
  EXPECT_EQ(KsFilterGetParentFilterFactory(filter), testmini::factory());
  PKSDEVICE device = KsFilterFactoryGetParentDevice(testmini::factory());
  EXPECT_EQ(device, KsGetDevice(pin));
  EXPECT_EQ(KsGetParent(device), nullptr);

  KSDEVICE_HEADER header =
      *static_cast<KSDEVICE_HEADER *>(device->FunctionalDeviceObject->DeviceExtension);
  KsAcquireDevice(device);
  EXPECT_EQ(KsFreeObjectCreateItemsByContext(header, filter), STATUS_OBJECT_NAME_NOT_FOUND)
      << "only the factory's own items carry it as their context";
  EXPECT_FALSE(b.client->AllInterfaces().empty());
  EXPECT_VERIFIER_STOP(sim::Rule::InvalidParameter,
                       KsFreeObjectCreateItemsByContext(device, testmini::factory()));
}

TEST(KsPublication, ADeletedFactoryStaysWithItsOpenFiltersOnlyUnderTheDeviceMutex) {
  Rig b;
  Handle f = b.Open();
  Handle p = b.Pin(f);
  void *item = ExAllocatePoolWithTag(NonPagedPool, 8, 'gBfK');
  PKSDEVICE device = KsGetDevice(testmini::factory());
  KsAcquireDevice(device);
  ASSERT_EQ(KsAddItemToObjectBag(testmini::factory()->Bag, item, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(KsDeleteFilterFactory(testmini::factory()), STATUS_SUCCESS);
  KsReleaseDevice(device);
  EXPECT_TRUE(b.client->AllInterfaces().empty());
  Handle other = 0;
  EXPECT_EQ(b.client->OpenFilter(b.Link(), &other), STATUS_OBJECT_NAME_NOT_FOUND);

  // The open filter and its pin keep working; the factory goes with the last of them.
  EXPECT_EQ(b.client->SetState(p, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(b.client->Close(f), STATUS_SUCCESS);
  EXPECT_EQ(b.m.pool().liveCount('gBfK'), 1u);
  EXPECT_EQ(b.client->Close(p), STATUS_SUCCESS);
  EXPECT_EQ(b.m.pool().liveCount('gBfK'), 0u);
  EXPECT_EQ(Log().back(), "filter close") << "the filter closes after its last pin";
  KsAcquireDevice(device);
  EXPECT_VERIFIER_STOP(sim::Rule::InvalidParameter, KsDeleteFilterFactory(testmini::factory()));
}

TEST(KsPublication, AnOrderlyRemovalIsRefusedWithHandlesOpenOrClosesWhatClientsLetGo) {
  Rig b;
  Handle f = b.Open();
  Handle p = b.Pin(f);
  ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
  sim::ks::FrameRequest request;
  request.bufferSize = 64;
  request.extendedHeader = testmini::FrameInfo();
  ASSERT_EQ(b.client->QueueFrame(p, request), STATUS_PENDING);

  // Nobody closes: the PnP manager refuses before any driver hears of it.
  EXPECT_EQ(b.m.pnp().RemoveCard(*b.c), STATUS_PLUGPLAY_QUERY_VETOED);
  EXPECT_EQ(b.m.pnp().lastVeto(), "PNP_VetoOutstandingOpen");
  KSSTATE state;
  EXPECT_EQ(b.client->GetState(p, &state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_RUN);
  EXPECT_EQ(b.client->CompletedFrames(p), 0u);

  // The applications close their handles when told: then the removal goes on.
  b.m.pnp().RemoveCard(*b.c, sim::PnpManager::OpenHandles::ClosedByClients);
  auto at = [](const char *entry) {
    return std::find(Log().begin(), Log().end(), entry) - Log().begin();
  };
  EXPECT_LT(at("filter close"), at("query-remove")) << "handles close before the query";
  EXPECT_LT(at("query-remove"), at("remove"));
  EXPECT_LT(at("remove"), static_cast<std::ptrdiff_t>(Log().size()));
  sim::ks::Frame frame;
  ASSERT_EQ(b.client->TakeFrame(p, &frame), STATUS_SUCCESS);
  EXPECT_EQ(frame.status, STATUS_CANCELLED);
  EXPECT_EQ(b.client->GetState(p, &state), STATUS_DEVICE_REMOVED);
  EXPECT_EQ(b.client->Close(p), STATUS_SUCCESS);
  EXPECT_EQ(b.client->Close(f), STATUS_SUCCESS);
  EXPECT_EQ(b.client->Close(f), STATUS_INVALID_HANDLE);
  b.m.pnp().UnloadDriver();
  EXPECT_EQ(b.m.pool().liveCount(), 0u);
  b.removed = true;
}

TEST(KsObjects, PinCreationMatchesRangesThenSetsTheFormatThenCreates) {
  Rig b;
  Handle f = b.Open();
  Log().clear();
  Handle p = b.Pin(f);  // YUY2: both ranges accept it, the first one takes it
  EXPECT_EQ(Log(), (std::vector<std::string>{"format range=0 old=none width=16", "create pin=0"}));

  Log().clear();
  b.Pin(f, KSDATAFORMAT_SUBTYPE_UYVY);  // only the wildcard range
  EXPECT_EQ(Log(), (std::vector<std::string>{"format range=1 old=none width=16", "create pin=0"}));
  b.client->Close(p);

  // A range the minidriver refuses with "no match" passes to the next one.
  testmini::config().setFormatStatus[0] = STATUS_NO_MATCH;
  Log().clear();
  p = b.Pin(f);
  EXPECT_EQ(Log(), (std::vector<std::string>{"format range=0 old=none width=16",
                                             "format range=1 old=none width=16", "create pin=0"}));
  b.client->Close(p);

  // Any other refusal ends creation with its status; nothing is left behind.
  testmini::config().setFormatStatus[0] = STATUS_INVALID_PARAMETER;
  Log().clear();
  Handle refused = 0;
  EXPECT_EQ(b.client->CreatePin(f, 0, testmini::Format(KSDATAFORMAT_SUBTYPE_YUY2), &refused),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Log(), (std::vector<std::string>{"format range=0 old=none width=16"}));
  KSPIN_CINSTANCES instances{};
  ASSERT_EQ(b.client->PinInstances(f, 0, &instances), STATUS_SUCCESS);
  EXPECT_EQ(instances.CurrentCount, 1u);

  // Formats no range accepts, and malformed requests, never reach the minidriver.
  Log().clear();
  auto audio = testmini::Format(KSDATAFORMAT_SUBTYPE_YUY2);
  reinterpret_cast<KSDATAFORMAT *>(audio.data())->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  EXPECT_EQ(b.client->CreatePin(f, 0, audio, &refused), STATUS_NO_MATCH);
  auto wild = testmini::Format(KSDATAFORMAT_SUBTYPE_YUY2);
  reinterpret_cast<KSDATAFORMAT *>(wild.data())->Specifier = KSDATAFORMAT_SPECIFIER_WILDCARD;
  EXPECT_EQ(b.client->CreatePin(f, 0, wild, &refused), STATUS_NO_MATCH)
      << "a wildcard in the format matches no concrete range";
  auto shortFormat = testmini::Format(KSDATAFORMAT_SUBTYPE_YUY2);
  shortFormat.resize(sizeof(KSDATAFORMAT) + 4);
  EXPECT_EQ(b.client->CreatePin(f, 0, shortFormat, &refused), STATUS_INVALID_BUFFER_SIZE);
  EXPECT_EQ(b.client->CreatePin(f, 1, testmini::Format(KSDATAFORMAT_SUBTYPE_YUY2), &refused),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(b.client->CreatePin(77, 0, testmini::Format(KSDATAFORMAT_SUBTYPE_YUY2), &refused),
            STATUS_INVALID_HANDLE);
  EXPECT_TRUE(Log().empty());
}

TEST(KsObjects, InstanceLimitAndPrivateConnectionFormat) {
  Rig b;
  Handle f = b.Open();
  auto format = testmini::Format(KSDATAFORMAT_SUBTYPE_YUY2, 32, 8);
  Handle p1 = 0, p2 = 0, p3 = 0;
  ASSERT_EQ(b.client->CreatePin(f, 0, format, &p1), STATUS_SUCCESS);
  format[sizeof(KSDATAFORMAT)] = 99;  // the pin keeps its own copy
  ASSERT_EQ(b.client->CreatePin(f, 0, format, &p2), STATUS_SUCCESS);
  EXPECT_EQ(b.client->CreatePin(f, 0, format, &p3), STATUS_UNSUCCESSFUL);
  std::vector<uint8_t> connection;
  ASSERT_EQ(b.client->GetConnectionFormat(p1, &connection), STATUS_SUCCESS);
  EXPECT_EQ(connection, testmini::Format(KSDATAFORMAT_SUBTYPE_YUY2, 32, 8));

  // Another instance of the filter has its own count.
  Handle g = b.Open();
  EXPECT_EQ(b.client->CreatePin(g, 0, format, &p3), STATUS_SUCCESS);
  EXPECT_EQ(b.client->Close(p2), STATUS_SUCCESS);
  EXPECT_EQ(b.client->CreatePin(f, 0, format, &p2), STATUS_SUCCESS);
}

TEST(KsObjects, ServicesFindTheObjectsBehindRequests) {
  Rig b;
  Handle f = b.Open();
  Handle p = b.Pin(f);
  for (const std::string &line : Log()) EXPECT_EQ(line.find(':'), std::string::npos) << line;
  PKSPIN pin = b.KsPin(p);
  PKSFILTER filter = KsPinGetParentFilter(pin);
  PKSDEVICE device = sim::ks::DeviceFromFdo(b.c->fdo);
  EXPECT_EQ(KsGetDevice(pin), device);
  EXPECT_EQ(KsGetDevice(filter), device);
  EXPECT_EQ(KsGetDevice(testmini::factory()), device);
  EXPECT_EQ(KsFilterGetChildPinCount(filter, 0), 1u);
  EXPECT_EQ(KsFilterGetFirstChildPin(filter, 0), pin);
  EXPECT_EQ(KsPinGetNextSiblingPin(pin), nullptr);
  EXPECT_EQ(pin->ConnectionFormat->FormatSize, sizeof(testmini::TestFormat));
  EXPECT_EQ(pin->DeviceState, KSSTATE_STOP);

  // A property request on the pin leads to the pin and its filter.
  LONG level = 0;
  EXPECT_EQ(b.client->Get(f, testmini::kPropertySet, testmini::kPropLevel, &level), STATUS_SUCCESS);
  EXPECT_EQ(testmini::seen().filter, filter);
  EXPECT_EQ(testmini::seen().pin, nullptr);
  EXPECT_EQ(testmini::seen().device, device);
  EXPECT_EQ(testmini::seen().irql, PASSIVE_LEVEL);

  int local = 0;
  EXPECT_VERIFIER_STOP(sim::Rule::InvalidParameter, KsGetDevice(&local));
}

int g_freed = 0;
void NTAPI CountedFree(PVOID p) {
  ++g_freed;
  ExFreePool(p);
}

TEST(KsBags, ItemsFreedOnceWhenTheLastBagHoldingThemGoes) {
  Rig b;
  Handle f = b.Open();
  Handle p = b.Pin(f);
  PKSPIN pin = b.KsPin(p);
  PKSDEVICE device = KsGetDevice(pin);
  g_freed = 0;
  void *shared = ExAllocatePoolWithTag(NonPagedPool, 8, 'hSgB');
  void *own = ExAllocatePoolWithTag(NonPagedPool, 8, 'nOgB');
  KsPinAcquireControl(pin);  // the filter's control mutex guards its bag and its pins' bags
  ASSERT_EQ(KsAddItemToObjectBag(pin->Bag, shared, CountedFree), STATUS_SUCCESS);
  ASSERT_EQ(KsAddItemToObjectBag(pin->Bag, shared, CountedFree), STATUS_SUCCESS);
  ASSERT_EQ(KsAddItemToObjectBag(KsPinGetParentFilter(pin)->Bag, shared, CountedFree),
            STATUS_SUCCESS);
  ASSERT_EQ(KsAddItemToObjectBag(pin->Bag, own, CountedFree), STATUS_SUCCESS);
  KsPinReleaseControl(pin);

  b.client->Close(p);
  EXPECT_EQ(g_freed, 1) << "the pin's own item; the shared one is still in the filter's bag";
  EXPECT_EQ(b.m.pool().liveCount('hSgB'), 1u);
  b.client->Close(f);
  EXPECT_EQ(g_freed, 2);
  EXPECT_EQ(b.m.pool().liveCount('hSgB'), 0u);
  EXPECT_EQ(sim::ks::BagItems(device->Bag).size(), 1u);  // the device context
}

TEST(KsBags, EditMakesOnePrivateCopyAndGrowsWithoutLeaking) {
  Rig b(false);
  testmini::config().editDescriptor = true;  // descriptor and framing edited twice at create
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  Handle f = b.Open();
  Handle p = b.Pin(f);
  PKSPIN pin = b.KsPin(p);
  EXPECT_EQ(b.m.pool().liveCount('EtsK'), 2u);
  EXPECT_NE(pin->Descriptor, &testmini::pinDescriptor());
  KSALLOCATOR_FRAMING_EX framing{};
  ASSERT_EQ(b.client->GetAllocatorFraming(p, &framing), STATUS_SUCCESS);
  EXPECT_EQ(framing.FramingItem[0].Frames, 7u);
  EXPECT_EQ(testmini::pinDescriptor().AllocatorFraming->FramingItem[0].Frames, 2u)
      << "the shared framing is untouched";

  // Growing replaces the copy: the old one goes, the new one keeps the old bytes.
  PVOID descriptor = const_cast<PKSPIN_DESCRIPTOR_EX>(pin->Descriptor);
  KsPinAcquireControl(pin);
  ASSERT_EQ(_KsEdit(pin->Bag, &descriptor, sizeof(KSPIN_DESCRIPTOR_EX) + 16,
                    sizeof(KSPIN_DESCRIPTOR_EX), 'EtsK'),
            STATUS_SUCCESS);
  EXPECT_EQ(b.m.pool().liveCount('EtsK'), 2u);
  EXPECT_EQ(static_cast<PKSPIN_DESCRIPTOR_EX>(descriptor)->InstancesPossible, 2u);
  pin->Descriptor = static_cast<PKSPIN_DESCRIPTOR_EX>(descriptor);

  // A copy that cannot be made leaves the pointer as it was.
  PVOID framingPointer =
      const_cast<PKSALLOCATOR_FRAMING_EX>(testmini::pinDescriptor().AllocatorFraming);
  b.m.pool().FailAllocation(1);
  EXPECT_EQ(_KsEdit(pin->Bag, &framingPointer, 112, 112, 'EtsK'), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(framingPointer, testmini::pinDescriptor().AllocatorFraming);
  KsPinReleaseControl(pin);

  b.client->Close(p);
  EXPECT_EQ(b.m.pool().liveCount('EtsK'), 0u);
}

TEST(KsIrql, HostServicesCheckTheirLimits) {
  Rig b;
  Handle f = b.Open();
  Handle p = b.Pin(f);
  PKSPIN pin = b.KsPin(p);
  PVOID copy = nullptr;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  // Stream services and the clock work from a DPC; object services do not.
  EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
  KsPinAttemptProcessing(pin, TRUE);
  EXPECT_VERIFIER_STOP(sim::Rule::IrqlTooHigh, _KsEdit(pin->Bag, &copy, 8, 8, 'EtsK'));
}

TEST(KsIrql, FactoryServicesArePassiveOnly) {
  Rig b;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_VERIFIER_STOP(sim::Rule::IrqlTooHigh,
                       KsFilterFactoryUpdateCacheData(testmini::factory(), nullptr));
}

TEST(KsIrql, ADispatchReturningAbovePassiveIsCaught) {
  Rig b;
  Handle f = b.Open();
  Handle p = b.Pin(f);
  testmini::config().failTo = -1;
  // The minidriver's state callback leaves the processor at DISPATCH_LEVEL.
  struct Raise {
    static NTSTATUS NTAPI SetState(PKSPIN, KSSTATE, KSSTATE) {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      return STATUS_SUCCESS;
    }
  };
  KSPIN_DISPATCH dispatch = *b.KsPin(p)->Descriptor->Dispatch;
  dispatch.SetDeviceState = Raise::SetState;
  KSPIN_DESCRIPTOR_EX descriptor = *b.KsPin(p)->Descriptor;
  descriptor.Dispatch = &dispatch;
  b.KsPin(p)->Descriptor = &descriptor;
  EXPECT_VERIFIER_STOP(sim::Rule::IrqlTooHigh, b.client->SetState(p, KSSTATE_ACQUIRE));
}

}  // namespace
