// The standard requests the chip's USB stack answers itself in every mode, as a kernel sends
// them on a host's behalf (USBDEVFS_SETINTERFACE, USBDEVFS_CLEAR_HALT, libusb asking for the
// active configuration).
#include <gtest/gtest.h>
#include <libusb.h>

#include "sim/vexo/dfu_mode.h"
#include "sim/vexo/vexo.h"

namespace {

using sim::Bytes;
using sim::ControlSetup;
using sim::vexo::Mode;
using sim::vexo::Vexo;

struct StandardRequest {
  const char* what;
  Mode mode;
  ControlSetup setup;
  int result;
};

TEST(StandardRequests, AnsweredByTheChipWhateverItsMode) {
  const StandardRequest cases[] = {
      // GET_CONFIGURATION: the configuration the host set as the device joined.
      {"configuration, loader", Mode::Dfu, {0x80, 0x08, 0, 0, 1}, 1},
      {"configuration, firmware", Mode::Btm, {0x80, 0x08, 0, 0, 1}, 1},
      // SET_INTERFACE stalls: every interface has only its default setting.
      {"set interface, loader", Mode::Dfu, {0x01, 0x0B, 0, 0, 0}, LIBUSB_ERROR_PIPE},
      {"set interface, run-time", Mode::Btm, {0x01, 0x0B, 0, 1, 0}, LIBUSB_ERROR_PIPE},
      // CLEAR_FEATURE(ENDPOINT_HALT) of an endpoint the configuration has.
      {"halt of the event endpoint", Mode::Btm, {0x02, 0x01, 0, 0x81, 0}, 0},
      {"halt of a missing endpoint", Mode::Btm, {0x02, 0x01, 0, 0x83, 0}, LIBUSB_ERROR_PIPE},
      {"another endpoint feature", Mode::Btm, {0x02, 0x01, 1, 0x81, 0}, LIBUSB_ERROR_PIPE},
      {"halt, loader without endpoints", Mode::Dfu, {0x02, 0x01, 0, 0x81, 0}, LIBUSB_ERROR_PIPE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto vexo = Vexo::create({.mode = c.mode});
    Bytes data(c.setup.length, 0xEE);
    const int result = (c.setup.request_type & LIBUSB_ENDPOINT_IN) != 0
                           ? vexo->control_in(c.setup, data)
                           : vexo->control_out(c.setup, data);
    EXPECT_EQ(result, c.result);
    if (c.result == 1) {
      EXPECT_EQ(data[0], 1);  // bConfigurationValue
    }
  }
}

TEST(StandardRequests, LeaveTheLoaderInItsState) {
  auto vexo = Vexo::create({.mode = Mode::Dfu});
  ASSERT_EQ(vexo->control_out({0x01, 0x0B, 0, 0, 0}, {}), LIBUSB_ERROR_PIPE);
  Bytes status(6);
  ASSERT_EQ(vexo->control_in({0xA1, /*DFU_GETSTATUS*/ 3, 0, 0, 6}, status), 6);
  EXPECT_EQ(status[0], 0);                             // bStatus OK, no errSTALLEDPKT
  EXPECT_EQ(status[4], sim::vexo::DfuMode::kDfuIdle);  // bState
}

}  // namespace
