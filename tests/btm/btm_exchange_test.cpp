// One BCCMD exchange on the wire, and the persistent-store operations built on it.
#include <chrono>

#include "tests/btm/btm_fixture.h"
#include "tests/support/bccmd_frames.h"
#include "tests/support/log_capture.h"
#include "velk/src/device/btm/pskey.h"

namespace velk::testing {
namespace {

using namespace std::chrono_literals;

std::uint16_t wire_sequence(const sim::Request& command) {
  return static_cast<std::uint16_t>(command.data.at(8) | (command.data.at(9) << 8));
}

// A GetResp event for `variable` carrying `record`, answering the request with sequence
// number `sequence`.
Bytes ps_answer(std::uint16_t variable, const Bytes& record, std::uint16_t sequence = 0) {
  return bccmd_event({kBccmdGetResp, sequence, variable, record});
}

// ", 0" for each of `n` zero bytes in a dump.
std::string zeros(std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += ", 0";
  return out;
}

// A device whose HCI interface the test drives by hand, already opened as connect_btm would.
class ScriptedExchange : public BtmTest {
 protected:
  void SetUp() override {
    BtmTest::SetUp();
    device_ = scripted_btm();
    auto handle = only_device().open();
    ASSERT_TRUE(handle);
    ASSERT_TRUE(handle->claim_interface(0));
    ASSERT_TRUE(handle->claim_interface(1));
    auto dfu = dfu::decode_dfu_functional(1, dfu_functional(0x0B, 5000));
    btm_.emplace(std::move(*handle), *dfu, 0, 0x81);
    sim::bus().requests().clear();
  }
  void TearDown() override {
    btm_.reset();
    BtmTest::TearDown();
  }

  std::shared_ptr<sim::ScriptedDevice> device_;
  std::optional<btm::BtmDevice> btm_;
};

TEST_F(ScriptedExchange, EventsOfOtherChannelsAreSkippedUntilTheAnswer) {
  device_->queue_interrupt(0x81, {0x0F, 0x04, 0x00, 0x01, 0x00, 0xFC});  // command status
  device_->queue_interrupt(0x81, {0xFF, 0x03, 0x41, 0x00, 0x00});        // another channel
  device_->queue_interrupt(0x81,
                           ps_answer(0x7003, {0xAD, 0x02, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00}));
  LogCapture log;

  std::array<std::uint16_t, 1> value{};
  auto words = btm::read_pskey(*btm_, kModeKey, value);
  ASSERT_TRUE(words) << words.error().display();
  EXPECT_EQ(*words, 1u);
  EXPECT_EQ(value[0], 3);
  EXPECT_EQ(traffic(),
            (std::vector<RequestKind>{RequestKind::ControlOut, RequestKind::InterruptIn,
                                      RequestKind::InterruptIn, RequestKind::InterruptIn}));
  EXPECT_EQ(log.records(), (std::vector<std::string>{
                               "TRACE velk::device::btm: PS request: [0, fc, fd, c2, 0, 0, 7e, 0, "
                               "0, 0, 3, 70, 0, 0, ad, 2, 76" +
                                   zeros(239) + "]",
                               "TRACE velk::device::btm: PS response: [f, 4, 0, 1, 0, fc]",
                               "DEBUG velk::device::btm: invalid bccmd response: spurious error: "
                               "Spurious message with channel ID 0x0",
                               "TRACE velk::device::btm: PS response: [ff, 3, 41, 0, 0]",
                               "DEBUG velk::device::btm: invalid bccmd response: spurious error: "
                               "Spurious message with channel ID 0x41",
                               "TRACE velk::device::btm: PS response: [ff, 13, c2, 1, 0, 9, 0, 0, "
                               "0, 3, 70, 0, 0, ad, 2, 1, 0, 0, 0, 3, 0]",
                           }));
}

TEST_F(ScriptedExchange, EventsOfOtherChannelsForASecondEndTheExchange) {
  // One every 50 ms: far from the count, so the second is what ends it.
  for (int i = 1; i <= 40; ++i) {
    device_->queue_interrupt(0x81, {0x0F, 0x04, 0x00, 0x01, 0x00, 0xFC}, i * 50ms);
  }
  std::array<std::uint16_t, 1> value{};
  const auto start = sim::bus().now();
  auto words = btm::read_pskey(*btm_, kModeKey, value);
  ASSERT_FALSE(words);
  EXPECT_EQ(words.error().display(),
            "spurious error: no BCCMD response among 0x14 events of other channels");
  EXPECT_EQ(sim::bus().now() - start, 1s);
}

TEST_F(ScriptedExchange, MalformedAnswerEndsTheExchange) {
  device_->queue_interrupt(0x81, {0xFF, 0x03, 0x42, 0x00, 0x00});
  device_->queue_interrupt(0x81,
                           ps_answer(0x7003, {0xAD, 0x02, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00}));
  std::array<std::uint16_t, 1> value{};
  auto words = btm::read_pskey(*btm_, kModeKey, value);
  ASSERT_FALSE(words);
  EXPECT_EQ(words.error().kind(), ErrorKind::DeviceError);
  EXPECT_EQ(words.error().text(), "BCCMD response too short: 0x5");
  EXPECT_EQ(of(RequestKind::InterruptIn).size(), 1u);
}

TEST_F(ScriptedExchange, FailedCommandIsNotFollowedByARead) {
  device_->queue_control_out(LIBUSB_ERROR_PIPE);
  auto cleared = btm::clear_pskey(*btm_, 0x0100);
  ASSERT_FALSE(cleared);
  EXPECT_EQ(cleared.error().usb(), UsbError::Pipe);
  EXPECT_EQ(traffic(), (std::vector<RequestKind>{RequestKind::ControlOut}));
  EXPECT_EQ(btm_->sequence(), 1);
}

TEST_F(ScriptedExchange, SequenceWrapsOnTheWire) {
  btm_->sequence() = 0xFFFF;
  for (int i = 0; i < 2; ++i) {
    device_->queue_interrupt(0x81, ps_answer(0x500C, Bytes(8, 0), i == 0 ? 0xFFFF : 0x0000));
    EXPECT_TRUE(btm::clear_pskey(*btm_, 0x0000));
  }
  const auto commands = of(RequestKind::ControlOut);
  EXPECT_EQ(wire_sequence(commands[0]), 0xFFFF);
  EXPECT_EQ(wire_sequence(commands[1]), 0x0000);
  EXPECT_EQ(btm_->sequence(), 1);
}

TEST_F(ScriptedExchange, ShortAnswerHoldingTheValueIsAccepted) {
  device_->queue_interrupt(
      0x81, ps_answer(0x7003, {0x34, 0x12, 0x02, 0x00, 0x00, 0x00, 0xCD, 0xAB, 0x01, 0x00}));
  std::array<std::uint16_t, 4> value{};
  auto words = btm::read_pskey(*btm_, 0x1234, value);
  ASSERT_TRUE(words) << words.error().display();
  EXPECT_EQ(*words, 2u);
  EXPECT_EQ(value, (std::array<std::uint16_t, 4>{0xABCD, 0x0001, 0, 0}));
}

TEST_F(BtmTest, PsKeysRoundTripThroughTheStore) {
  auto vexo = plug_vexo();
  auto device = connect();
  LogCapture log;

  const std::array<std::uint16_t, 3> written{0x1234, 0xABCD, 0x0000};
  ASSERT_TRUE(btm::write_pskey(device, 0x0100, written));
  EXPECT_EQ(vexo->pskey(0x0100), (sim::vexo::Words{0x1234, 0xABCD, 0x0000}));

  std::array<std::uint16_t, 8> read{};
  auto words = btm::read_pskey(device, 0x0100, read);
  ASSERT_TRUE(words);
  EXPECT_EQ(*words, 3u);
  EXPECT_EQ(std::vector<std::uint16_t>(read.begin(), read.begin() + 3),
            std::vector<std::uint16_t>(written.begin(), written.end()));

  ASSERT_TRUE(btm::clear_pskey(device, 0x0100));
  EXPECT_EQ(vexo->pskey(0x0100), std::nullopt);

  // One command each, counted up one by one on the wire.
  const auto commands = of(RequestKind::ControlOut);
  ASSERT_EQ(commands.size(), 3u);
  for (std::size_t i = 0; i < commands.size(); ++i) {
    EXPECT_EQ(commands[i].data.size(), 256u);
    EXPECT_EQ(wire_sequence(commands[i]), i + 1);
  }
  EXPECT_EQ(device.sequence(), 4);
  // The write record: SetReq of PS, key, three words, stores 0, the words.
  EXPECT_EQ(Bytes(commands[0].data.begin() + 4, commands[0].data.begin() + 26),
            (Bytes{0x02, 0x00, 0x7E, 0x00, 0x01, 0x00, 0x03, 0x70, 0x00, 0x00, 0x00,
                   0x01, 0x03, 0x00, 0x00, 0x00, 0x34, 0x12, 0xCD, 0xAB, 0x00, 0x00}));
  // The clear: SetReq of PS_Clr_Stores with just the key.
  EXPECT_EQ(Bytes(commands[2].data.begin() + 10, commands[2].data.begin() + 18),
            (Bytes{0x0C, 0x50, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}));

  EXPECT_EQ(log.messages("PS request: ").size(), 2u);
  EXPECT_EQ(
      log.messages("PS_Clr_Stores request: [0, fc, fd, c2, 2, 0, 7e, 0, 3, 0, c, 50, 0, 0, 0, 1, 0")
          .size(),
      1u);
  EXPECT_EQ(log.messages("PS response: [ff, fd, c2, 1, 0, 7e, 0").size(), 3u);
}

TEST_F(BtmTest, LargestWriteFillsOneCommandAndOneMoreWordIsRefusedUnsent) {
  auto vexo = plug_vexo();
  auto device = connect();
  std::vector<std::uint16_t> words(118);
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint16_t>(0x0100 + i);

  ASSERT_TRUE(btm::write_pskey(device, 0x0200, words));
  EXPECT_EQ(vexo->pskey(0x0200), words);
  EXPECT_EQ(of(RequestKind::ControlOut).at(0).data.back(), 0x01);  // high byte of the last word

  words.push_back(0);
  sim::bus().requests().clear();
  auto refused = btm::write_pskey(device, 0x0200, words);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(refused.error().text(), "supplied buffer too large: 0xee > 0xec");
  EXPECT_TRUE(sim::bus().requests().all().empty());
  EXPECT_EQ(device.sequence(), 2);
}

TEST_F(BtmTest, EmptyValuesAreWrittenAndReadAsNothing) {
  auto vexo = plug_vexo();
  auto device = connect();
  ASSERT_TRUE(btm::write_pskey(device, 0x0300, {}));
  EXPECT_EQ(vexo->pskey(0x0300), sim::vexo::Words{});
  auto words = btm::read_pskey(device, 0x0300, {});
  ASSERT_TRUE(words);
  EXPECT_EQ(*words, 0u);
}

TEST_F(BtmTest, TooSmallBufferIsFoundAfterTheReadAndLeftAlone) {
  auto vexo = plug_vexo();
  vexo->set_pskey(0x0002, {1, 2, 3});
  auto device = connect();
  std::array<std::uint16_t, 1> value{0xBEEF};
  auto words = btm::read_pskey(device, 0x0002, value);
  ASSERT_FALSE(words);
  EXPECT_EQ(words.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(words.error().text(), "supplied buffer too small: 0x3 > 0x1");
  EXPECT_EQ(value[0], 0xBEEF);
  EXPECT_EQ(of(RequestKind::ControlOut).size(), 1u);
  EXPECT_EQ(device.sequence(), 2);
}

TEST_F(BtmTest, WrongAnswersAreDeviceErrorsAndLeaveTheDeviceUsable) {
  auto vexo = plug_vexo();
  vexo->set_pskey(0x0002, {7});
  auto device = connect();
  std::array<std::uint16_t, 1> value{};
  auto expect_failure = [&](auto status, ErrorKind kind, const std::string& text) {
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().kind(), kind);
    if (kind != ErrorKind::LIBUSBError) {
      EXPECT_EQ(status.error().text(), text);
    }
  };

  vexo->faults().wrong_variable_id = 1;
  expect_failure(btm::read_pskey(device, 0x0002, value), ErrorKind::DeviceError,
                 "invalid variable ID: 0x7004 != 0x7003");
  vexo->faults().wrong_ps_key = 1;
  expect_failure(btm::read_pskey(device, 0x0002, value), ErrorKind::DeviceError,
                 "invalid PSKey ID: 0x3 != 0x2");
  vexo->faults().wrong_ps_key = 1;
  expect_failure(btm::write_pskey(device, 0x0002, value), ErrorKind::DeviceError,
                 "invalid PSKey ID: 0x3 != 0x2");
  vexo->faults().wrong_ps_key = 1;
  expect_failure(btm::clear_pskey(device, 0x0002), ErrorKind::DeviceError,
                 "invalid PSKey ID: 0x3 != 0x2");
  vexo->faults().error_status = 1;
  expect_failure(btm::read_pskey(device, 0x0002, value), ErrorKind::DeviceError,
                 "invalid status: 0x8");
  vexo->faults().lost_responses = 1;
  {
    const auto before = sim::bus().now();
    auto lost = btm::read_pskey(device, 0x0002, value);
    expect_failure(std::move(lost), ErrorKind::LIBUSBError, "");
    EXPECT_EQ(sim::bus().now() - before, 100ms);
  }
  EXPECT_EQ(of(RequestKind::InterruptIn).back().result, LIBUSB_ERROR_TIMEOUT);

  vexo->set_pskey(0x0002, {9});
  auto words = btm::read_pskey(device, 0x0002, value);
  ASSERT_TRUE(words);
  EXPECT_EQ(value[0], 9);
}

TEST_F(BtmTest, SpuriousEventsBeforeEveryAnswerAreSkipped) {
  auto vexo = plug_vexo();
  vexo->set_pskey(0x0002, {7});
  auto device = connect();
  vexo->faults().spurious_events = sim::vexo::VexoFaults::kAlways;
  LogCapture log;
  std::array<std::uint16_t, 1> value{};
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(btm::read_pskey(device, 0x0002, value));
  EXPECT_EQ(log.messages("invalid bccmd response: ").size(), 3u);
  EXPECT_EQ(of(RequestKind::InterruptIn).size(), 6u);
}

}  // namespace
}  // namespace velk::testing
