#include "sim/kernel/kernel.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "sim/descriptors.h"
#include "sim/kernel/journal.h"
#include "sim/usb/config_parser.h"

namespace sim::kernel {
namespace {

constexpr int kBus = 1;
constexpr int kUsbMajor = 189;
constexpr int kHidrawMajor = 240;
constexpr std::uint16_t kEnglish = 0x0409;

// The root hub's device descriptor and configuration (one hub interface, one status endpoint).
const Bytes kRootHubDescriptors{0x12, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 0x40, 0x6b, 0x1d, 0x02,
                                0x00, 0x06, 0x05, 0x03, 0x02, 0x01, 0x01, 0x09, 0x02, 0x19, 0x00,
                                0x01, 0x01, 0x00, 0xe0, 0x00, 0x09, 0x04, 0x00, 0x00, 0x01, 0x09,
                                0x00, 0x00, 0x00, 0x07, 0x05, 0x81, 0x03, 0x04, 0x00, 0x0c};

std::string hex(const Bytes& bytes) {
  return fmt::format("{:02x}", fmt::join(bytes, ""));
}

// A node of the root hub: nothing here opens it, and whatever does is told so loudly.
class HubNode final : public Node {
 public:
  using Node::Node;
  void service() override {}
  bool in_use() const override { return false; }

 private:
  bool on_ioctl(UMockdevIoctlClient* client) override {
    unserved(client, "an ioctl on the root hub");
    return true;
  }
};

// A string descriptor read from the device the way the kernel reads it at enumeration, as
// UTF-8 (the models' strings are ASCII); empty when the device has none.
std::string read_string(Device& device, std::uint8_t index) {
  if (index == 0) return {};
  Bytes raw(255);
  const ControlSetup setup{LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                           static_cast<std::uint16_t>((LIBUSB_DT_STRING << 8) | index), kEnglish,
                           255};
  const int n = device.control_in(setup, raw);
  std::string text;
  for (int i = 2; i + 1 < n; i += 2)
    text.push_back(static_cast<char>(raw[static_cast<std::size_t>(i)]));
  return text;
}

// Lines of umockdev's device description format.
struct Description {
  std::string text;
  Description& path(const std::string& p) {
    text += "P: " + p + "\n";
    return *this;
  }
  Description& node(const std::string& n) {
    text += "N: " + n + "\n";
    return *this;
  }
  Description& property(const std::string& key, const std::string& value) {
    text += "E: " + key + "=" + value + "\n";
    return *this;
  }
  // Attributes end with a new line, as in sysfs.
  Description& attribute(const std::string& key, const std::string& value) {
    text += "A: " + key + "=" + value + "\\n\n";
    return *this;
  }
  Description& binary(const std::string& key, const Bytes& value) {
    text += "H: " + key + "=" + hex(value) + "\n";
    return *this;
  }
  Description& link(const std::string& key, const std::string& target) {
    text += "L: " + key + "=" + target + "\n";
    return *this;
  }
  Description& end() {
    text += "\n";
    return *this;
  }
};

void add_description(UMockdevTestbed* testbed, const Description& d) {
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed, d.text.c_str(), &error)) {
    std::string why = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("umockdev cannot add a device: " + why + "\n" + d.text);
  }
}

void usb_device_lines(Description& d, int devnum, const std::string& node) {
  d.node(node.substr(5))
      .property("SUBSYSTEM", "usb")
      .property("DEVTYPE", "usb_device")
      .property("DRIVER", "usb")
      .property("DEVNAME", node)
      .property("BUSNUM", fmt::format("{:03}", kBus))
      .property("DEVNUM", fmt::format("{:03}", devnum))
      .property("MAJOR", std::to_string(kUsbMajor))
      .property("MINOR", std::to_string((kBus - 1) * 128 + devnum - 1))
      .attribute("busnum", std::to_string(kBus))
      .attribute("devnum", std::to_string(devnum))
      .attribute("dev", fmt::format("{}:{}", kUsbMajor, (kBus - 1) * 128 + devnum - 1))
      .attribute("bConfigurationValue", "1");
}

std::string usbfs_node(int devnum) {
  return fmt::format("/dev/bus/usb/{:03}/{:03}", kBus, devnum);
}

std::string product_property(const libusb_device_descriptor& dd) {
  return fmt::format("{:x}/{:x}/{:x}", dd.idVendor, dd.idProduct, dd.bcdDevice);
}

// What the kernel reads from a device as it enumerates it.
struct Strings {
  std::string manufacturer, product, serial;
};

void describe_device(Description& d, const Attachment& a, const std::string& path, int devnum,
                     const Strings& strings) {
  const auto& dd = a.descriptor;
  d.path(path.substr(4));
  usb_device_lines(d, devnum, usbfs_node(devnum));
  d.property("PRODUCT", product_property(dd))
      .property("TYPE",
                fmt::format("{}/{}/{}", dd.bDeviceClass, dd.bDeviceSubClass, dd.bDeviceProtocol))
      .attribute("idVendor", fmt::format("{:04x}", dd.idVendor))
      .attribute("idProduct", fmt::format("{:04x}", dd.idProduct))
      .attribute("bcdDevice", fmt::format("{:04x}", dd.bcdDevice))
      .attribute("speed", "12");
  if (!strings.manufacturer.empty()) d.attribute("manufacturer", strings.manufacturer);
  if (!strings.product.empty()) d.attribute("product", strings.product);
  if (!strings.serial.empty()) d.attribute("serial", strings.serial);
  // The kernel's copy of the descriptors as the device sent them: libusb parses this.
  Bytes descriptors = device_descriptor_bytes(dd);
  descriptors.insert(descriptors.end(), a.config.begin(), a.config.end());
  d.binary("descriptors", descriptors).end();
}

// Each interface's first setting; returns interface number to sysfs path.
std::map<int, std::string> describe_interfaces(Description& d, const Attachment& a,
                                               const std::string& device_path,
                                               const std::string& name) {
  auto parsed = usb::parse_config(a.config);
  if (!parsed) throw std::runtime_error("the model's configuration descriptor does not parse");
  std::map<int, std::string> paths;
  for (int i = 0; i < parsed->config.bNumInterfaces; ++i) {
    const libusb_interface_descriptor& s = parsed->config.interface[i].altsetting[0];
    const std::string path = fmt::format("{}/{}:1.{}", device_path, name, s.bInterfaceNumber);
    paths[s.bInterfaceNumber] = path;
    d.path(path.substr(4))
        .property("SUBSYSTEM", "usb")
        .property("DEVTYPE", "usb_interface")
        .property("PRODUCT", product_property(a.descriptor))
        .property("INTERFACE", fmt::format("{}/{}/{}", s.bInterfaceClass, s.bInterfaceSubClass,
                                           s.bInterfaceProtocol))
        .attribute("bInterfaceNumber", fmt::format("{:02x}", s.bInterfaceNumber))
        .attribute("bAlternateSetting", fmt::format("{:2}", s.bAlternateSetting))
        .attribute("bInterfaceClass", fmt::format("{:02x}", s.bInterfaceClass))
        .attribute("bInterfaceSubClass", fmt::format("{:02x}", s.bInterfaceSubClass))
        .attribute("bInterfaceProtocol", fmt::format("{:02x}", s.bInterfaceProtocol))
        .attribute("bNumEndpoints", fmt::format("{:02x}", s.bNumEndpoints))
        .end();
  }
  return paths;
}

// The hid device under its interface, with what hidapi reads from it (HID_ID, HID_NAME,
// HID_UNIQ, the report descriptor), and its hidraw device.
void describe_hid(Description& d, const Attachment& a, const std::string& hid_path,
                  const std::string& hidraw, int minor, int port, const Strings& strings) {
  const auto& dd = a.descriptor;
  const std::string title = !strings.manufacturer.empty() && !strings.product.empty()
                                ? strings.manufacturer + " " + strings.product
                            : !strings.product.empty()
                                ? strings.product
                                : fmt::format("HID {:04x}:{:04x}", dd.idVendor, dd.idProduct);
  d.path(hid_path.substr(4))
      .property("SUBSYSTEM", "hid")
      .property("DRIVER", "hid-generic")
      .property("HID_ID", fmt::format("0003:{:08X}:{:08X}", dd.idVendor, dd.idProduct))
      .property("HID_NAME", title)
      .property("HID_PHYS", fmt::format("usb-vexo-{}/input{}", port, a.hid_info.interface_number))
      .property("HID_UNIQ", strings.serial)
      .property("MODALIAS", fmt::format("hid:b0003g0001v{:08X}p{:08X}", dd.idVendor, dd.idProduct))
      .binary("report_descriptor", a.device->hid_report_descriptor())
      .end();
  d.path(hid_path.substr(4) + "/hidraw/" + hidraw)
      .node(hidraw)
      .property("SUBSYSTEM", "hidraw")
      .property("DEVNAME", "/dev/" + hidraw)
      .property("MAJOR", std::to_string(kHidrawMajor))
      .property("MINOR", std::to_string(minor))
      .attribute("dev", fmt::format("{}:{}", kHidrawMajor, minor))
      .link("device", "../../../" + hid_path.substr(hid_path.rfind('/') + 1))
      .end();
}

}  // namespace

KernelInterface::KernelInterface(UMockdevTestbed* testbed)
    : testbed_(testbed), root_(root_of(testbed)) {
  hub_ = std::make_unique<HubNode>(0, usbfs_node(1));
  attach(*hub_);
  Description d;
  d.path("/devices/usb1");
  usb_device_lines(d, 1, usbfs_node(1));
  d.property("PRODUCT", "1d6b/2/600")
      .attribute("idVendor", "1d6b")
      .attribute("idProduct", "0002")
      .attribute("speed", "480")
      .binary("descriptors", kRootHubDescriptors)
      .end();
  add_description(testbed_, d);
}

KernelInterface::~KernelInterface() = default;

std::string KernelInterface::sys(const std::string& path) const {
  return root_ + path;
}

void KernelInterface::attach(Node& node) {
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_, node.devnode().c_str(), node.handler(), &error)) {
    std::string why = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("umockdev cannot attach a handler to " + node.devnode() + ": " + why);
  }
}

void KernelInterface::detach(Node& node) {
  GError* error = nullptr;
  if (!umockdev_testbed_detach_ioctl(testbed_, node.devnode().c_str(), &error)) {
    journal().fail("umockdev cannot detach the handler of " + node.devnode() + ": " +
                   (error ? error->message : "unknown error"));
  }
  if (error != nullptr) g_error_free(error);
}

bool KernelInterface::in_use() const {
  auto used = [](const std::unique_ptr<Node>& n) { return n && n->in_use(); };
  return std::any_of(devices_.begin(), devices_.end(),
                     [&](const Mirror& m) {
                       return (m.usbfs && m.usbfs->in_use()) || (m.hidraw && m.hidraw->in_use());
                     }) ||
         std::any_of(departed_.begin(), departed_.end(), used);
}

void KernelInterface::tick() {
  const auto& attached = bus().attachments();
  for (auto& m : devices_) {
    if (bus().attachment(m.attachment) == nullptr) remove(m);
  }
  std::erase_if(devices_, [](const Mirror& m) { return m.attachment == 0; });
  for (const auto& a : attached) {
    if (std::none_of(devices_.begin(), devices_.end(),
                     [&](const Mirror& m) { return m.attachment == a.id; }))
      add(a);
  }
  for (auto& m : devices_) {
    m.usbfs->tick();
    if (m.hidraw) m.hidraw->tick();
    show_drivers(m);
  }
  for (auto& n : departed_) n->tick();
}

void KernelInterface::add(const Attachment& a) {
  Mirror m;
  m.attachment = a.id;
  // The lowest free port of the root hub; the address counts up, as a kernel hands them out.
  for (m.port = 1; std::any_of(devices_.begin(), devices_.end(),
                               [&](const Mirror& o) { return o.port == m.port; });
       ++m.port) {
  }
  const int devnum = next_devnum_;
  next_devnum_ = next_devnum_ >= 127 ? 2 : next_devnum_ + 1;
  m.name = fmt::format("{}-{}", kBus, m.port);
  m.usb_path = "/sys/devices/usb1/" + m.name;
  const auto& dd = a.descriptor;
  const Strings strings{read_string(*a.device, dd.iManufacturer),
                        read_string(*a.device, dd.iProduct),
                        read_string(*a.device, dd.iSerialNumber)};

  Description d;
  describe_device(d, a, m.usb_path, devnum, strings);
  m.interfaces = describe_interfaces(d, a, m.usb_path, m.name);
  for (const auto& [number, path] : m.interfaces) m.children.push_back(path);
  // The nodes' handlers come first, so that a program that hears of the device (umockdev sends
  // each device's add uevent as it adds it) can open it at once.
  m.usbfs = std::make_unique<UsbfsNode>(a.id, usbfs_node(devnum));
  attach(*m.usbfs);
  if (a.hid) {
    const std::string hid_path =
        fmt::format("{}/{:04X}:{:04X}:{:04X}.{:04X}", m.interfaces.at(a.hid_info.interface_number),
                    3, dd.idVendor, dd.idProduct, next_hid_++);
    const int minor = next_hidraw_++;
    const std::string hidraw = fmt::format("hidraw{}", minor);
    describe_hid(d, a, hid_path, hidraw, minor, m.port, strings);
    m.children.push_back(hid_path);
    m.children.push_back(hid_path + "/hidraw/" + hidraw);
    m.hidraw =
        std::make_unique<HidrawNode>(a.id, "/dev/" + hidraw, a.device->hid_report_descriptor());
    attach(*m.hidraw);
  }
  add_description(testbed_, d);
  if (m.hidraw) {
    // umockdev makes the hidraw node a pseudo-terminal as it adds it.
    const int terminal = umockdev_testbed_get_dev_fd(testbed_, m.hidraw->devnode().c_str());
    if (terminal < 0)
      throw std::runtime_error("umockdev made no terminal for " + m.hidraw->devnode());
    m.hidraw->set_terminal(terminal);
  }
  for (NodeKind kind : denied_) {
    if (kind == NodeKind::Usbfs) chmod((root_ + m.usbfs->devnode()).c_str(), 0);
    if (kind == NodeKind::Hidraw && m.hidraw) chmod((root_ + m.hidraw->devnode()).c_str(), 0);
  }
  journal().trace(fmt::format("{} {:04x}:{:04x} joins as {}{}", m.name, dd.idVendor, dd.idProduct,
                              m.usbfs->devnode(), m.hidraw ? " and " + m.hidraw->devnode() : ""));
  devices_.push_back(std::move(m));
  show_drivers(devices_.back());
}

void KernelInterface::show_drivers(Mirror& m) {
  for (const auto& [number, path] : m.interfaces) {
    const std::string now = m.usbfs->driver(number);
    std::string& shown = m.drivers[number];
    if (now == shown) continue;
    const std::filesystem::path link = sys(path) + "/driver";
    std::error_code ignored;
    std::filesystem::remove(link, ignored);
    if (!now.empty())
      std::filesystem::create_symlink("../../../../bus/usb/drivers/" + now, link, ignored);
    journal().trace(
        fmt::format("{} interface {} driver: '{}' -> '{}'", m.name, number, shown, now));
    shown = now;
  }
}

void KernelInterface::remove(Mirror& m) {
  journal().trace(fmt::format("{} leaves", m.name));
  // The kernel announces the children's removal first.
  std::vector<std::string> paths(m.children.rbegin(), m.children.rend());
  paths.push_back(m.usb_path);
  for (const auto& p : paths) umockdev_testbed_uevent(testbed_, p.c_str(), "remove");
  if (m.hidraw) {
    // umockdev leaves the note that maps the node's terminal to the node; the terminal's name
    // comes free when the node hangs up, and a later node would trip over the note.
    std::error_code ignored;
    std::string terminal = std::filesystem::read_symlink(root_ + m.hidraw->devnode(), ignored);
    std::replace(terminal.begin(), terminal.end(), '/', '_');
    if (!terminal.empty()) std::filesystem::remove(root_ + "/dev/.ptymap/" + terminal, ignored);
  }
  for (const auto& p : paths) umockdev_testbed_remove_device(testbed_, p.c_str());
  detach(*m.usbfs);
  if (m.hidraw) detach(*m.hidraw);
  // Tell programs that still hold the nodes that the device is gone.
  m.usbfs->service();
  departed_.push_back(std::move(m.usbfs));
  if (m.hidraw) {
    m.hidraw->service();
    departed_.push_back(std::move(m.hidraw));
  }
  m.attachment = 0;
}

}  // namespace sim::kernel
