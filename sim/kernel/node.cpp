#include "sim/kernel/node.h"

#include <fmt/format.h>

#include <cerrno>
#include <chrono>

#include "sim/bus.h"
#include "sim/kernel/journal.h"

namespace sim::kernel {

void catch_up_with_real_time() {
  static const auto start = std::chrono::steady_clock::now();
  const Nanos elapsed = std::chrono::steady_clock::now() - start;
  if (elapsed > bus().now()) bus().advance(elapsed - bus().now());
}

Node::Node(std::uint64_t attachment, std::string devnode)
    : attachment_(attachment), devnode_(std::move(devnode)), handler_(umockdev_ioctl_base_new()) {
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(ioctl_cb), this);
  g_signal_connect(handler_, "handle-read", G_CALLBACK(read_cb), this);
  g_signal_connect(handler_, "handle-write", G_CALLBACK(write_cb), this);
  g_signal_connect(handler_, "client-connected", G_CALLBACK(connected_cb), this);
}

Node::~Node() {
  g_signal_handlers_disconnect_by_data(handler_, this);
  g_object_unref(handler_);
  for (auto* client : clients_) g_object_unref(client);
}

std::shared_ptr<Device> Node::model() const {
  return bus().model(attachment_);
}

bool Node::fault_fired(const RequestKey& key) {
  auto fault = bus().fault_for(key);
  if (fault && fault->type != Action::Type::Unplug)
    journal().fail("a fault other than an unplug is not modelled at the kernel");
  return fault.has_value();
}

bool Node::on_read(UMockdevIoctlClient* /*client*/) {
  return false;
}

bool Node::on_write(UMockdevIoctlClient* /*client*/) {
  return false;
}

void Node::unserved(UMockdevIoctlClient* client, const std::string& name) {
  journal().fail(fmt::format("{}: the model does not serve {}", devnode_, name));
  umockdev_ioctl_client_complete(client, -1, ENOTTY);
}

template <class F>
gboolean Node::dispatch(F&& handle) {
  auto guard = bus().lock();
  catch_up_with_real_time();
  const bool taken = handle();
  service();
  return taken ? TRUE : FALSE;
}

gboolean Node::ioctl_cb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  auto* node = static_cast<Node*>(self);
  return node->dispatch([&] { return node->on_ioctl(client); });
}

gboolean Node::read_cb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  auto* node = static_cast<Node*>(self);
  return node->dispatch([&] {
    if (node->on_read(client)) return true;
    node->unserved(client, "read()");
    return true;
  });
}

gboolean Node::write_cb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  auto* node = static_cast<Node*>(self);
  return node->dispatch([&] {
    if (node->on_write(client)) return true;
    node->unserved(client, "write()");
    return true;
  });
}

void Node::connected_cb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  auto* node = static_cast<Node*>(self);
  node->dispatch([&] {
    node->clients_.push_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)));
    node->on_open(client);
    return true;
  });
}

void Node::tick() {
  std::erase_if(clients_, [&](UMockdevIoctlClient* client) {
    if (umockdev_ioctl_client_get_connected(client)) return false;
    on_close(client);
    g_object_unref(client);
    return true;
  });
  on_tick();
}

std::string root_of(UMockdevTestbed* testbed) {
  gchar* root = umockdev_testbed_get_root_dir(testbed);
  std::string copy(root);
  g_free(root);
  return copy;
}

Ref<UMockdevIoctlData> resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
  GError* error = nullptr;
  auto* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
  if (error != nullptr) g_error_free(error);
  return Ref<UMockdevIoctlData>::adopt(resolved);
}

}  // namespace sim::kernel
