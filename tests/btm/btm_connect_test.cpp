// Opening the device in BTM mode: the requests it takes, the operational check, the draining of
// stale events, and the failures that must leave nothing open.
#include <chrono>

#include "tests/btm/btm_fixture.h"
#include "tests/support/bccmd_frames.h"
#include "tests/support/log_capture.h"

namespace velk::testing {
namespace {

using namespace std::chrono_literals;

// On a host whose Bluetooth driver took the HCI interface, connecting detaches it and dropping
// the connection binds it again.
TEST_F(BtmTest, ConnectDetachesAKernelDriverThatTheDropGivesBack) {
  plug_vexo({.hci_kernel_driver = "btusb"});
  const std::uint64_t id = sim::bus().attachments().at(0).id;
  {
    auto device = btm::connect_btm(only_device());
    ASSERT_TRUE(device) << device.error().display();
    EXPECT_EQ(sim::bus().driver(id, 0), "");
  }
  EXPECT_EQ(sim::bus().driver(id, 0), "btusb");
  EXPECT_EQ(sim::bus().resources(), baseline_);
}

TEST_F(BtmTest, ConnectClaimsBothInterfacesDrainsAndAsksForTheModeKey) {
  auto vexo = plug_vexo();
  vexo->set_pskey(kModeKey, {3});
  LogCapture log;

  auto device = btm::connect_btm(only_device());
  ASSERT_TRUE(device) << device.error().display();

  EXPECT_EQ(traffic(),
            (std::vector<RequestKind>{RequestKind::Open, RequestKind::Claim, RequestKind::Claim,
                                      RequestKind::InterruptIn,  // the drain's timeout
                                      RequestKind::ControlOut, RequestKind::InterruptIn}));
  EXPECT_EQ(interfaces(RequestKind::Claim), (std::vector<int>{0, 1}));

  const auto reads = of(RequestKind::InterruptIn);
  for (const auto& read : reads) {
    EXPECT_EQ(read.endpoint, 0x81);
    EXPECT_EQ(read.timeout_ms, 100);
  }
  EXPECT_EQ(reads[0].result, LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(reads[1].transferred, 255);

  const auto command = of(RequestKind::ControlOut).at(0);
  EXPECT_EQ(command.setup.request_type, 0x20);
  EXPECT_EQ(command.setup.request, 0);
  EXPECT_EQ(command.setup.value, 0);
  EXPECT_EQ(command.setup.index, 0);  // the HCI interface
  EXPECT_EQ(command.timeout_ms, 100);
  // The first sequence number asks PS for the mode key's 118 words in a 242-byte record.
  Bytes record(242, 0x00);
  record[0] = 0xAD;
  record[1] = 0x02;
  record[2] = 118;
  EXPECT_EQ(command.data, bccmd_command({kBccmdGetReq, 0, 0x7003, record}));
  EXPECT_EQ(device->sequence(), 1);
  EXPECT_EQ(device->hci_interface(), 0);
  EXPECT_EQ(device->event_endpoint(), 0x81);
  EXPECT_EQ(device->dfu().interface_number, 1);
  EXPECT_EQ(log.messages("Connected"),
            (std::vector<std::string>{"Connected to the device in BTM mode"}));
  EXPECT_EQ(log.records().back(), "DEBUG velk::device::btm: Connected to the device in BTM mode");
}

struct ModeKeyCase {
  sim::vexo::Words value;
  bool operational;
  const char* name;
};

class ModeKeyTest : public BtmTest, public ::testing::WithParamInterface<ModeKeyCase> {};

TEST_P(ModeKeyTest, DecidesWhetherTheConnectionIsMade) {
  auto vexo = plug_vexo();
  vexo->set_pskey(kModeKey, GetParam().value);
  {
    auto device = btm::connect_btm(only_device());
    ASSERT_EQ(device.has_value(), GetParam().operational);
    if (!device) {
      EXPECT_EQ(device.error().kind(), ErrorKind::DeviceError);
      EXPECT_EQ(device.error().text(), "firmware not operational");
    }
  }
  EXPECT_EQ(interfaces(RequestKind::Release), (std::vector<int>{0, 1}));
  EXPECT_EQ(of(RequestKind::Close).size(), 1u);
  expect_all_released();
}

INSTANTIATE_TEST_SUITE_P(
    BtmTest, ModeKeyTest,
    ::testing::Values(ModeKeyCase{{0}, true, "Zero"}, ModeKeyCase{{3}, true, "Three"},
                      ModeKeyCase{{5}, false, "SqifSelected"},
                      ModeKeyCase{{1}, false, "DspSelected"}, ModeKeyCase{{2}, false, "Two"},
                      // refused by the one-word read
                      ModeKeyCase{{3, 3}, false, "TwoWords"}, ModeKeyCase{{}, false, "Empty"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BtmTest, OperationalCheckFollowsTheKeyAndSurvivesItsOwnFailures) {
  auto vexo = plug_vexo();
  auto device = connect();
  EXPECT_TRUE(btm::btm_is_operational(device));
  vexo->set_pskey(kModeKey, {5});
  EXPECT_FALSE(btm::btm_is_operational(device));
  vexo->set_pskey(kModeKey, {0, 0});
  EXPECT_FALSE(btm::btm_is_operational(device));
  vexo->faults().lost_responses = 1;
  vexo->set_pskey(kModeKey, {3});
  EXPECT_FALSE(btm::btm_is_operational(device));
  // Nothing of a failed check lingers: the next one is answered normally.
  EXPECT_TRUE(btm::btm_is_operational(device));
  EXPECT_EQ(device.sequence(), 6);
}

TEST_F(BtmTest, RefusedModeKeyReadIsNotOperational) {
  auto vexo = plug_vexo();
  auto device = connect();
  vexo->faults().error_status = 1;
  EXPECT_FALSE(btm::btm_is_operational(device));
}

TEST_F(BtmTest, StaleEventsAreDrainedBeforeTheFirstCommand) {
  sim::vexo::VexoOptions options;
  options.faults.stale_events = 3;
  auto vexo = plug_vexo(options);
  LogCapture log;

  auto device = btm::connect_btm(only_device());
  ASSERT_TRUE(device) << device.error().display();

  EXPECT_EQ(traffic(),
            (std::vector<RequestKind>{RequestKind::Open, RequestKind::Claim, RequestKind::Claim,
                                      RequestKind::InterruptIn, RequestKind::InterruptIn,
                                      RequestKind::InterruptIn, RequestKind::InterruptIn,
                                      RequestKind::ControlOut, RequestKind::InterruptIn}));
  const auto reads = of(RequestKind::InterruptIn);
  EXPECT_EQ(reads[3].result, LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(reads[3].time - reads[2].time, 100ms);  // one timeout after the last pending event

  const auto flushed = log.messages("Flushed ");
  ASSERT_EQ(flushed.size(), 3u);
  // An old PS answer, for key 0x7fff, sequence 0xff00 onwards.
  EXPECT_EQ(flushed[0].substr(0, 63),
            "Flushed [ff, fd, c2, 1, 0, 7e, 0, 0, ff, 3, 70, 0, 0, ff, 7f, 1");
  EXPECT_EQ(flushed[2].substr(0, 35), "Flushed [ff, fd, c2, 1, 0, 7e, 0, 2");
  for (const auto& record : log.records()) {
    if (record.find("Flushed") != std::string::npos) {
      EXPECT_EQ(record.rfind("TRACE velk::device::btm: ", 0), 0u);
    }
  }
}

TEST_F(BtmTest, VendorInterfaceWithOnlyBulkEndpointsIsNotBtm) {
  scripted_btm({{.number = 0,
                 .cls = 0xFF,
                 .subclass = 0x01,
                 .endpoints = {{.address = 0x81, .attributes = sim::kBulk},
                               {.address = 0x01, .attributes = sim::kBulk}}},
                {.number = 1, .cls = 0xFE, .subclass = 0x01, .extra = dfu_functional(0x0B, 5000)}});
  {
    auto device = btm::connect_btm(only_device());
    ASSERT_FALSE(device);
    EXPECT_EQ(device.error().kind(), ErrorKind::DeviceError);
    EXPECT_EQ(device.error().text(), "missing BTM interface");
  }
  EXPECT_TRUE(of(RequestKind::Open).empty());
  expect_all_released();
}

// A descriptor problem is found before the device is opened.
void expect_refused_unopened(usb::UsbDevice device, const char* message) {
  {
    auto btm = btm::connect_btm(std::move(device));
    ASSERT_FALSE(btm);
    EXPECT_EQ(btm.error().kind(), ErrorKind::DeviceError);
    EXPECT_EQ(btm.error().text(), message);
  }
  EXPECT_TRUE(sim::bus().requests().of(RequestKind::Open).empty());
}

const sim::InterfaceSpec kHci{.number = 0,
                              .cls = 0xFF,
                              .subclass = 0x01,
                              .endpoints = {{.address = 0x81, .attributes = sim::kInterrupt}}};

TEST_F(BtmTest, DeviceWithoutDfuInterfaceIsRefusedUnopened) {
  scripted_btm({kHci});
  expect_refused_unopened(only_device(), "missing DFU descriptor");
  expect_all_released();
}

TEST_F(BtmTest, ShortDfuDescriptorIsRefusedUnopened) {
  // A descriptor of DFU 1.0 length, without bcdDFUVersion and the last byte of wTransferSize.
  const Bytes seven{0x07, 0x21, 0x0B, 0x88, 0x13, 0x00, 0x04};
  scripted_btm({kHci, {.number = 1, .cls = 0xFE, .subclass = 0x01, .extra = seven}});
  expect_refused_unopened(only_device(), "invalid DFU descriptor");
  expect_all_released();
}

TEST_F(BtmTest, FailedClaimClosesTheHandleAndReleasesWhatWasClaimed) {
  plug_vexo();
  sim::bus().faults().add({.match = {.kind = RequestKind::Claim},
                           .action = sim::Action::error(LIBUSB_ERROR_BUSY),
                           .skip = 1});
  {
    auto device = btm::connect_btm(only_device());
    ASSERT_FALSE(device);
    EXPECT_EQ(device.error().kind(), ErrorKind::LIBUSBError);
    EXPECT_EQ(device.error().usb(), UsbError::Busy);
  }
  EXPECT_EQ(traffic(),
            (std::vector<RequestKind>{RequestKind::Open, RequestKind::Claim, RequestKind::Claim,
                                      RequestKind::Release, RequestKind::Close}));
  EXPECT_EQ(interfaces(RequestKind::Release), (std::vector<int>{0}));
  expect_all_released();
}

TEST_F(BtmTest, FailedFirstClaimClosesWithoutReleasing) {
  plug_vexo();
  sim::bus().faults().add(
      {.match = {.kind = RequestKind::Claim}, .action = sim::Action::error(LIBUSB_ERROR_ACCESS)});
  {
    auto device = btm::connect_btm(only_device());
    ASSERT_FALSE(device);
    EXPECT_EQ(device.error().usb(), UsbError::Access);
  }
  EXPECT_EQ(traffic(),
            (std::vector<RequestKind>{RequestKind::Open, RequestKind::Claim, RequestKind::Close}));
  expect_all_released();
}

TEST_F(BtmTest, FailedOpenOrDescriptorReadIsALibusbError) {
  plug_vexo();
  sim::bus().faults().add(
      {.match = {.kind = RequestKind::Open}, .action = sim::Action::error(LIBUSB_ERROR_ACCESS)});
  {
    auto device = btm::connect_btm(only_device());
    ASSERT_FALSE(device);
    EXPECT_EQ(device.error().usb(), UsbError::Access);
  }
  sim::bus().faults().add({.match = {.kind = RequestKind::ConfigDescriptor},
                           .action = sim::Action::error(LIBUSB_ERROR_NO_MEM)});
  {
    auto device = btm::connect_btm(only_device());
    ASSERT_FALSE(device);
    EXPECT_EQ(device.error().usb(), UsbError::NoMem);
  }
  expect_all_released();
}

TEST_F(BtmTest, SilentFirmwareIsNotOperationalAfterOneTimeout) {
  auto vexo = plug_vexo();
  vexo->faults().lost_responses = 1;
  {
    auto device = btm::connect_btm(only_device());
    ASSERT_FALSE(device);
    EXPECT_EQ(device.error().text(), "firmware not operational");
  }
  EXPECT_EQ(of(RequestKind::InterruptIn).back().result, LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(interfaces(RequestKind::Release), (std::vector<int>{0, 1}));
  expect_all_released();
}

}  // namespace
}  // namespace velk::testing
