// The Bluetooth-module firmware of the virtual Vexo as a host sees it through libusb: its
// identity and interfaces, and BCCMD over HCI against its persistent store.
#include "sim/vexo/btm_mode.h"

#include <gtest/gtest.h>

#include "sim/vexo/vexo.h"
#include "tests/vexo/usb_host.h"

namespace {

using namespace vexo_test;
using sim::vexo::Vexo;
using sim::vexo::VexoOptions;

using BtmMode = OpenVexo;

TEST_F(BtmMode, ShowsTheHciAndTheRunTimeDfuInterface) {
  const auto interfaces = host.interfaces(0x7A11, 0x1300);
  ASSERT_EQ(interfaces.size(), 2u);
  EXPECT_EQ(interfaces[0].number, 0);
  EXPECT_EQ(interfaces[0].cls, 0xFF);
  EXPECT_EQ(interfaces[0].subclass, 0x01);
  ASSERT_FALSE(interfaces[0].endpoints.empty());
  EXPECT_EQ(interfaces[0].endpoints[0], std::make_pair(0x81, int{LIBUSB_TRANSFER_TYPE_INTERRUPT}));

  EXPECT_EQ(interfaces[1].number, 1);
  EXPECT_EQ(interfaces[1].cls, 0xFE);
  EXPECT_EQ(interfaces[1].subclass, 0x01);
  EXPECT_EQ(interfaces[1].protocol, 0x01);
  // bLength 9, DFU functional, can download/upload/will detach, 5000 ms, 1023 bytes, DFU 1.1
  EXPECT_EQ(interfaces[1].extra, (Bytes{0x09, 0x21, 0x0B, 0x88, 0x13, 0xFF, 0x03, 0x10, 0x01}));

  EXPECT_EQ(libusb_claim_interface(handle, 0), 0);
  EXPECT_EQ(libusb_claim_interface(handle, 1), 0);
  EXPECT_EQ(libusb_claim_interface(handle, 2), LIBUSB_ERROR_NOT_FOUND);
}

TEST_F(BtmMode, PsWriteThenReadRoundTrips) {
  const Bytes write = bccmd(kSetReq, 7, kPs, ps_record(0x0123, 2, {0x1234, 0xABCD}));
  ASSERT_EQ(write.size(), 256u);
  const Bytes written = UsbHost::exchange(handle, write);
  ASSERT_EQ(written.size(), 255u);
  const Bytes header{0xFF, 0xFD,   // vendor event, parameter length 253
                     0xC2,         // whole message on channel 2
                     0x01, 0x00,   // GetResp
                     0x7E, 0x00,   // 126 words
                     0x07, 0x00,   // the request's sequence number
                     0x03, 0x70,   // PS
                     0x00, 0x00};  // status ok
  EXPECT_EQ(Bytes(written.begin(), written.begin() + 13), header);
  EXPECT_EQ(Bytes(written.begin() + 13, written.end()), ps_record(0x0123, 2, {0x1234, 0xABCD}));
  EXPECT_EQ(vexo->pskey(0x0123), (sim::vexo::Words{0x1234, 0xABCD}));

  const Bytes read = UsbHost::exchange(handle, bccmd(kGetReq, 8, kPs, ps_record(0x0123, 118)));
  ASSERT_EQ(read.size(), 255u);
  EXPECT_EQ(word(read, 7), 8);
  EXPECT_EQ(word(read, 11), 0);
  EXPECT_EQ(Bytes(read.begin() + 13, read.end()), ps_record(0x0123, 2, {0x1234, 0xABCD}));
}

TEST_F(BtmMode, PsReadOfKeysSetFromTheTestAndOfTheDefaultModeKey) {
  vexo->set_pskey(0x0042, {});
  const Bytes empty = UsbHost::exchange(handle, bccmd(kGetReq, 0, kPs, ps_record(0x0042, 118)));
  ASSERT_EQ(empty.size(), 255u);
  EXPECT_EQ(word(empty, 13), 0x0042);
  EXPECT_EQ(word(empty, 15), 0);

  const Bytes mode = UsbHost::exchange(handle, mode_key_read(1));
  ASSERT_EQ(mode.size(), 255u);
  EXPECT_EQ(word(mode, 11), 0);
  EXPECT_EQ(Bytes(mode.begin() + 13, mode.end()), ps_record(0x02AD, 1, {0}));
}

TEST_F(BtmMode, PsReadOfAMissingKeyAnswersWithAnErrorStatus) {
  const Bytes read = UsbHost::exchange(handle, bccmd(kGetReq, 3, kPs, ps_record(0x0777, 118)));
  ASSERT_EQ(read.size(), 255u);
  EXPECT_EQ(word(read, 9), kPs);
  EXPECT_EQ(word(read, 11), 3);  // no value
}

TEST_F(BtmMode, AnswerHasThePayloadSizeOfTheRequest) {
  vexo->set_pskey(0x0001, {0xBEEF});
  // An 8-byte record: key, 1 word asked for, stores, room for exactly one word.
  const Bytes read = UsbHost::exchange(handle, bccmd(kGetReq, 0, kPs, ps_record(0x0001, 1, {}, 8)));
  EXPECT_EQ(read, (Bytes{0xFF, 0x13, 0xC2, 0x01, 0x00, 0x09, 0x00, 0x00, 0x00, 0x03, 0x70,
                         0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0xEF, 0xBE}));
}

TEST_F(BtmMode, ValueTooLongForTheRecordKeepsItsFullLength) {
  vexo->set_pskey(0x0005, sim::vexo::Words(119, 0x5A5A));
  const Bytes read = UsbHost::exchange(handle, bccmd(kGetReq, 0, kPs, ps_record(0x0005, 118)));
  ASSERT_EQ(read.size(), 255u);
  EXPECT_EQ(word(read, 15), 119);  // so the host sees it cannot hold the value
  EXPECT_EQ(word(read, 253), 0x5A5A);
}

TEST_F(BtmMode, PsWriteLongerThanItsRecordIsRefused) {
  const Bytes write = UsbHost::exchange(handle, bccmd(kSetReq, 0, kPs, ps_record(0x0009, 119)));
  ASSERT_EQ(write.size(), 255u);
  EXPECT_EQ(word(write, 11), 2);  // too big
  EXPECT_EQ(vexo->pskey(0x0009), std::nullopt);
}

TEST_F(BtmMode, ClearStoresEchoesTheKeyAndUncoversTheDefault) {
  vexo->set_pskey(0x0200, {1, 2, 3});
  vexo->set_pskey(0x02AD, {3});
  for (const std::uint16_t key : {0x0200, 0x02AD}) {
    const Bytes clear =
        UsbHost::exchange(handle, bccmd(kSetReq, 0, kPsClrStores, ps_record(key, 0)));
    ASSERT_EQ(clear.size(), 255u);
    EXPECT_EQ(word(clear, 9), kPsClrStores);
    EXPECT_EQ(word(clear, 11), 0);
    EXPECT_EQ(word(clear, 13), key);
  }
  EXPECT_EQ(vexo->pskey(0x0200), std::nullopt);
  EXPECT_EQ(vexo->pskey(0x02AD), sim::vexo::Words{0});
  EXPECT_TRUE(vexo->store().written().empty());
}

TEST_F(BtmMode, ModeKeyValuesThatKeepTheFirmwareRunningRestartNothing) {
  for (const std::uint16_t value : {3, 0, 2}) {
    const Bytes write =
        UsbHost::exchange(handle, bccmd(kSetReq, 0, kPs, ps_record(0x02AD, 1, {value})));
    EXPECT_EQ(word(write, 11), 0);
  }
  // A two-word value holding 5 selects nothing either.
  UsbHost::exchange(handle, bccmd(kSetReq, 0, kPs, ps_record(0x02AD, 2, {5, 0})));
  sim::bus().advance(std::chrono::seconds(10));
  EXPECT_TRUE(vexo->on_bus());
  EXPECT_EQ(vexo->boots(), 0u);
}

TEST_F(BtmMode, RecordsEveryBccmdRequest) {
  UsbHost::exchange(handle, mode_key_read(0x10));
  UsbHost::hci(handle, bccmd(kSetReq, 0x11, kColdReset, Bytes(8, 0)));
  const auto& requests = vexo->bccmd_requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].sequence, 0x10);
  EXPECT_EQ(requests[0].type, kGetReq);
  EXPECT_EQ(requests[1].variable, kColdReset);
  EXPECT_EQ(requests[1].payload, Bytes(8, 0));
}

TEST_F(BtmMode, OtherHciCommandsGetACommandStatusOffTheBccmdChannel) {
  // HCI_Reset (0x0C03): unknown to this firmware.
  EXPECT_EQ(UsbHost::exchange(handle, Bytes{0x03, 0x0C, 0x00}),
            (Bytes{0x0F, 0x04, 0x01, 0x01, 0x03, 0x0C}));
  // A BCCMD whose length word disagrees with the packet: invalid parameters.
  Bytes bad = mode_key_read();
  bad[6] = 0x7F;
  EXPECT_EQ(UsbHost::exchange(handle, bad), (Bytes{0x0F, 0x04, 0x12, 0x01, 0x00, 0xFC}));
  // Another extension channel is not answered at all.
  Bytes other = mode_key_read();
  other[3] = 0xC3;
  EXPECT_EQ(UsbHost::hci(handle, other), 256);
  EXPECT_EQ(UsbHost::event(handle).first, LIBUSB_ERROR_TIMEOUT);
  EXPECT_TRUE(vexo->bccmd_requests().empty());
}

TEST_F(BtmMode, UnknownVariableAndReadOfAnActionAnswerWithErrors) {
  const Bytes unknown = UsbHost::exchange(handle, bccmd(kGetReq, 0, 0x1234, Bytes(8, 0)));
  EXPECT_EQ(word(unknown, 11), 1);  // no such variable
  const Bytes get_reset = UsbHost::exchange(handle, bccmd(kGetReq, 0, kColdReset, Bytes(8, 0)));
  EXPECT_EQ(word(get_reset, 11), 7);  // write only
  EXPECT_TRUE(vexo->on_bus());
}

TEST_F(BtmMode, HciCommandsOnlyOnTheHciInterface) {
  Bytes packet = mode_key_read();
  EXPECT_EQ(libusb_control_transfer(handle, 0x20, 0, 0, 1, packet.data(), 256, 100),
            LIBUSB_ERROR_PIPE);
  EXPECT_EQ(libusb_control_transfer(handle, 0x21, 0, 0, 0, packet.data(), 256, 100),
            LIBUSB_ERROR_PIPE);
}

TEST_F(BtmMode, UsbResetDropsPendingEvents) {
  UsbHost::hci(handle, mode_key_read());
  ASSERT_EQ(vexo->btm()->pending_events(), 1u);
  EXPECT_EQ(libusb_reset_device(handle), 0);
  EXPECT_EQ(UsbHost::event(handle).first, LIBUSB_ERROR_TIMEOUT);
  EXPECT_TRUE(vexo->on_bus());
}

}  // namespace
