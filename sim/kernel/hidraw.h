// The hidraw node of a HID device (/dev/hidrawN): report descriptor ioctls, feature reports,
// reads of input reports and writes of output reports, answered by the model with the
// kernel's conventions (report ID in the first byte of every buffer; feature reads count it).
//
// The node is a pseudo-terminal that umockdev creates: hidapi polls it before it reads, so one
// byte waits in it while an input report does, and the terminal hangs up when the device
// leaves. The kernel keeps input reports only for files that are open; so does the node.
#pragma once

#include <deque>
#include <optional>
#include <set>
#include <string>

#include "sim/kernel/node.h"

namespace sim::kernel {

class HidrawNode final : public Node {
 public:
  HidrawNode(std::uint64_t attachment, std::string devnode, Bytes report_descriptor);
  // The controlling side of the node's pseudo-terminal, which umockdev makes with the node.
  void set_terminal(int terminal) { terminal_ = terminal; }

  void service() override;
  bool in_use() const override { return !open_.empty(); }

 private:
  bool on_ioctl(UMockdevIoctlClient* client) override;
  bool on_read(UMockdevIoctlClient* client) override;
  bool on_write(UMockdevIoctlClient* client) override;
  void on_open(UMockdevIoctlClient* client) override;
  void on_close(UMockdevIoctlClient* client) override;

  int feature(UMockdevIoctlData* arg, std::size_t length, bool get);
  // Shows whether a report waits, to hidapi's poll.
  void signal_input();

  int terminal_ = -1;
  Bytes report_descriptor_;
  std::set<UMockdevIoctlClient*> open_;
  // The input report the kernel holds for the reader, and reads that wait for one.
  std::optional<Bytes> input_;
  std::deque<Ref<UMockdevIoctlClient>> readers_;
  bool signalled_ = false;
  bool gone_ = false;
};

}  // namespace sim::kernel
