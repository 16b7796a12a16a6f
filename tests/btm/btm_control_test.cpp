// The ways out of BTM mode: the DFU detach, the cold reset and the mode key.
#include <chrono>

#include "tests/btm/btm_fixture.h"
#include "tests/support/bccmd_frames.h"
#include "tests/support/log_capture.h"

namespace velk::testing {
namespace {

using namespace std::chrono_literals;
using sim::vexo::Mode;

TEST_F(BtmTest, DetachOfASelfDetachingDeviceSendsOneRequestAndNoReset) {
  auto vexo = plug_vexo();
  auto device = connect();
  LogCapture log;

  ASSERT_TRUE(btm::detach_to_dfu(device));

  EXPECT_EQ(traffic(), (std::vector<RequestKind>{RequestKind::ControlOut}));
  const auto detach = of(RequestKind::ControlOut).at(0);
  EXPECT_EQ(detach.setup.request_type, 0x21);
  EXPECT_EQ(detach.setup.request, 0);     // DFU_DETACH
  EXPECT_EQ(detach.setup.value, 0x1388);  // wDetachTimeOut, 5000 ms
  EXPECT_EQ(detach.setup.index, 1);       // the DFU run-time interface
  EXPECT_EQ(detach.setup.length, 0);
  EXPECT_EQ(detach.timeout_ms, 100);
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"Issuing a DFU_DETACH request"}));

  sim::bus().advance(3s);
  EXPECT_EQ(vexo->mode(), Mode::Dfu);
}

TEST_F(BtmTest, DetachWithoutSelfDetachResetsThePort) {
  auto vexo =
      plug_vexo({.runtime_dfu = {.attributes = sim::vexo::kCanDnload | sim::vexo::kCanUpload,
                                 .detach_timeout_ms = 0x1234}});
  auto device = connect();
  LogCapture log;

  // The reset ends in the boot loader, so libusb reports the device as gone: not our failure.
  ASSERT_TRUE(btm::detach_to_dfu(device));

  EXPECT_EQ(traffic(), (std::vector<RequestKind>{RequestKind::ControlOut, RequestKind::Reset}));
  EXPECT_EQ(of(RequestKind::ControlOut).at(0).setup.value, 0x1234);
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"Issuing a DFU_DETACH request", "Resetting the USB handle"}));

  sim::bus().advance(3s);
  EXPECT_EQ(vexo->mode(), Mode::Dfu);
}

TEST_F(BtmTest, FailedDetachIsReportedAndSendsNoReset) {
  plug_vexo({.runtime_dfu = {.attributes = 0}});
  auto device = connect();
  sim::bus().faults().add(
      {.match = {.kind = RequestKind::ControlOut}, .action = sim::Action::stall()});

  auto detached = btm::detach_to_dfu(device);
  ASSERT_FALSE(detached);
  EXPECT_EQ(detached.error().kind(), ErrorKind::LIBUSBError);
  EXPECT_EQ(detached.error().usb(), UsbError::Pipe);
  EXPECT_EQ(traffic(), (std::vector<RequestKind>{RequestKind::ControlOut}));
}

TEST_F(BtmTest, ColdResetSendsOneCommandReadsNothingAndAdvancesTheCounter) {
  auto vexo = plug_vexo();
  auto device = connect();
  ASSERT_EQ(device.sequence(), 1);

  ASSERT_TRUE(btm::cold_reset(device));

  EXPECT_EQ(device.sequence(), 2);
  EXPECT_EQ(traffic(), (std::vector<RequestKind>{RequestKind::ControlOut}));
  const auto command = of(RequestKind::ControlOut).at(0);
  EXPECT_EQ(command.setup.request_type, 0x20);
  EXPECT_EQ(command.setup.index, 0);
  EXPECT_EQ(command.timeout_ms, 100);
  // Cold_Reset, sequence 1, the empty payload padded to four words.
  EXPECT_EQ(command.data, bccmd_command({kBccmdSetReq, 1, 0x4001, Bytes(8, 0)}));
}

TEST_F(BtmTest, NextConnectionAfterAColdResetCountsFromZero) {
  auto vexo = plug_vexo();
  {
    auto device = connect();
    ASSERT_TRUE(btm::cold_reset(device));
  }
  sim::bus().advance(5s);
  ASSERT_EQ(vexo->boots(), 1u);
  ASSERT_TRUE(vexo->on_bus());

  auto again = connect();
  EXPECT_EQ(again.sequence(), 1);
  const auto& first = vexo->bccmd_requests().back();
  EXPECT_EQ(first.sequence, 0);
  EXPECT_EQ(first.variable, 0x7003);
}

TEST_F(BtmTest, ColdResetIgnoresAFailingTransfer) {
  plug_vexo();
  auto device = connect();
  sim::bus().faults().add({.match = {.kind = RequestKind::ControlOut},
                           .action = sim::Action::error(LIBUSB_ERROR_NO_DEVICE)});
  EXPECT_TRUE(btm::cold_reset(device));
  EXPECT_EQ(device.sequence(), 2);
}

class SelectModeTest : public BtmTest {
 protected:
  void expect_switch(OperationMode mode, std::uint8_t value, Mode loader,
                     const std::string& message) {
    auto vexo = plug_vexo();
    {
      auto device = connect();
      LogCapture log;
      btm::select_mode(device, mode);
      EXPECT_EQ(log.messages("Switching"), (std::vector<std::string>{message}));
      EXPECT_EQ(device.sequence(), 2);
    }
    const auto command = of(RequestKind::ControlOut).at(0);
    ASSERT_EQ(command.data.size(), 256u);
    EXPECT_EQ(Bytes(command.data.begin() + 4, command.data.begin() + 6),
              (Bytes{0x02, 0x00}));  // SetReq
    EXPECT_EQ(Bytes(command.data.begin() + 10, command.data.begin() + 22), (Bytes{
                                                                               0x03,
                                                                               0x70,  // PS
                                                                               0x00,
                                                                               0x00,  // status
                                                                               0xAD,
                                                                               0x02,  // mode key
                                                                               0x01,
                                                                               0x00,  // one word
                                                                               0x00,
                                                                               0x00,  // stores
                                                                               value,
                                                                               0x00,
                                                                           }));
    sim::bus().advance(5s);
    EXPECT_EQ(vexo->mode(), loader);
  }
};

TEST_F(SelectModeTest, SqifWritesFive) {
  expect_switch(OperationMode::SQIF, 5, Mode::Sqif, "Switching to SQIF");
}

TEST_F(SelectModeTest, DspWritesOne) {
  expect_switch(OperationMode::DSP, 1, Mode::Dsp, "Switching to DSP");
}

TEST_F(BtmTest, SelectModeSwallowsAnAnswerLostToTheRestart) {
  auto vexo = plug_vexo();
  auto device = connect();
  vexo->faults().lost_responses = 1;
  btm::select_mode(device, OperationMode::DSP);
  // The chip went down while the read still waited for its answer.
  EXPECT_LT(of(RequestKind::InterruptIn).back().result, 0);
  sim::bus().advance(5s);
  EXPECT_EQ(vexo->mode(), Mode::Dsp);
}

TEST_F(BtmTest, SelectModeIsOnlyForTheLoaders) {
  plug_vexo();
  auto device = connect();
  EXPECT_THROW(btm::select_mode(device, OperationMode::DFU), InternalFailure);
  EXPECT_TRUE(sim::bus().requests().all().empty());
}

}  // namespace
}  // namespace velk::testing
