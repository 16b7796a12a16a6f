// The library context is created once per process and its outcome kept, so each case runs in
// a binary of its own.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "lib/hid/src/manager/hid.h"
#include "lib/usb/context.h"
#include "sim/bus.h"

namespace velk {
namespace {

using sim::RequestKind;

#if defined(VELK_CONTEXT_CASE_LIBUSB)
TEST(LibraryContext, FailedLibusbInitIsStoredAndNeverRetried) {
  sim::bus().faults().add({.match = {.kind = RequestKind::UsbInit},
                           .action = sim::Action::error(LIBUSB_ERROR_NOT_SUPPORTED)});
  auto first = LibraryContext::get();
  ASSERT_FALSE(first);
  EXPECT_EQ(first.error().debug(), "LIBUSBError(NotSupported)");
  auto second = LibraryContext::get();
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().debug(), "LIBUSBError(NotSupported)");
  EXPECT_EQ(sim::bus().requests().count(RequestKind::UsbInit), 1u);
  EXPECT_EQ(sim::bus().requests().count(RequestKind::HidInit), 0u);
}
#elif defined(VELK_CONTEXT_CASE_HID)
TEST(LibraryContext, FailedHidInitReleasesLibusbAndIsStored) {
  sim::bus().faults().add(
      {.match = {.kind = RequestKind::HidInit}, .action = sim::Action::error(-1)});
  auto first = LibraryContext::get();
  ASSERT_FALSE(first);
  EXPECT_EQ(first.error().debug(), "HIDAPIError(General)");
  EXPECT_FALSE(LibraryContext::get());
  EXPECT_EQ(
      sim::bus().requests().kinds(),
      (std::vector<RequestKind>{RequestKind::UsbInit, RequestKind::HidInit, RequestKind::UsbExit}));
  // The failed initialisation left hidapi's flag clear: a new one calls hid_init again.
  EXPECT_TRUE(hid::HidManager::init());
  EXPECT_EQ(sim::bus().requests().count(RequestKind::HidInit), 2u);
}
#else
TEST(LibraryContext, CreatedOnceForConcurrentFirstCalls) {
  std::vector<std::thread> threads;
  std::vector<const LibraryContext*> got(8);
  for (std::size_t i = 0; i < got.size(); ++i) {
    threads.emplace_back([&, i] { got[i] = *LibraryContext::get(); });
  }
  for (auto& t : threads) t.join();
  for (auto* c : got) EXPECT_EQ(c, got[0]);
  EXPECT_EQ(sim::bus().requests().count(RequestKind::UsbInit), 1u);
  EXPECT_EQ(sim::bus().requests().count(RequestKind::HidInit), 1u);
  // A second HID initialisation while the flag is set is refused without calling hid_init.
  EXPECT_EQ(hid::HidManager::init().error().display(), "hidapi error: Already initialized.");
  EXPECT_EQ(sim::bus().requests().count(RequestKind::HidInit), 1u);
}
#endif

}  // namespace
}  // namespace velk
