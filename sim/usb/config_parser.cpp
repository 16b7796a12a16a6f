#include "sim/usb/config_parser.h"

#include <algorithm>

namespace sim::usb {

namespace {

bool ends_extra(std::uint8_t type) {
  return type == LIBUSB_DT_INTERFACE || type == LIBUSB_DT_ENDPOINT || type == LIBUSB_DT_CONFIG ||
         type == LIBUSB_DT_DEVICE;
}

std::uint16_t le16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

// Walks descriptors from `pos` up to the next one that ends an extra block; false on a
// descriptor that is too short or runs past the end.
bool skip_extra(const Bytes& raw, std::size_t end, std::size_t& pos) {
  while (pos < end) {
    if (end - pos < 2 || raw[pos] < 2 || pos + raw[pos] > end) return false;
    if (ends_extra(raw[pos + 1])) break;
    pos += raw[pos];
  }
  return true;
}

}  // namespace

std::unique_ptr<ParsedConfig> parse_config(const Bytes& raw) {
  if (raw.size() < LIBUSB_DT_CONFIG_SIZE || raw[0] < LIBUSB_DT_CONFIG_SIZE ||
      raw[1] != LIBUSB_DT_CONFIG) {
    return nullptr;
  }
  auto p = std::make_unique<ParsedConfig>();
  p->raw = raw;
  const Bytes& b = p->raw;
  const std::size_t end = std::min<std::size_t>(le16(b, 2), b.size());
  auto& c = p->config;
  c.bLength = b[0];
  c.bDescriptorType = b[1];
  c.wTotalLength = le16(b, 2);
  c.bConfigurationValue = b[5];
  c.iConfiguration = b[6];
  c.bmAttributes = b[7];
  c.MaxPower = b[8];

  std::size_t pos = b[0];
  const std::size_t config_extra = pos;
  if (!skip_extra(b, end, pos)) return nullptr;
  const int config_extra_length = static_cast<int>(pos - config_extra);

  // First pass: records with offsets; pointers are set once no vector grows any more.
  struct Extra {
    std::size_t at;
    int length;
  };
  std::vector<Extra> setting_extra;
  std::vector<std::vector<Extra>> endpoint_extra;
  while (pos < end) {
    if (end - pos < 2 || b[pos] < 2 || pos + b[pos] > end) return nullptr;
    if (b[pos + 1] != LIBUSB_DT_INTERFACE) return nullptr;
    if (b[pos] < LIBUSB_DT_INTERFACE_SIZE) return nullptr;
    libusb_interface_descriptor i{};
    i.bLength = b[pos];
    i.bDescriptorType = b[pos + 1];
    i.bInterfaceNumber = b[pos + 2];
    i.bAlternateSetting = b[pos + 3];
    i.bNumEndpoints = b[pos + 4];
    i.bInterfaceClass = b[pos + 5];
    i.bInterfaceSubClass = b[pos + 6];
    i.bInterfaceProtocol = b[pos + 7];
    i.iInterface = b[pos + 8];
    pos += b[pos];
    const std::size_t extra_at = pos;
    if (!skip_extra(b, end, pos)) return nullptr;
    setting_extra.push_back({extra_at, static_cast<int>(pos - extra_at)});

    std::vector<libusb_endpoint_descriptor> eps;
    std::vector<Extra> eps_extra;
    for (int e = 0; e < i.bNumEndpoints; ++e) {
      if (end - pos < LIBUSB_DT_ENDPOINT_SIZE || b[pos] < LIBUSB_DT_ENDPOINT_SIZE ||
          b[pos + 1] != LIBUSB_DT_ENDPOINT || pos + b[pos] > end) {
        return nullptr;
      }
      libusb_endpoint_descriptor d{};
      d.bLength = b[pos];
      d.bDescriptorType = b[pos + 1];
      d.bEndpointAddress = b[pos + 2];
      d.bmAttributes = b[pos + 3];
      d.wMaxPacketSize = le16(b, pos + 4);
      d.bInterval = b[pos + 6];
      if (d.bLength >= LIBUSB_DT_ENDPOINT_AUDIO_SIZE) {
        d.bRefresh = b[pos + 7];
        d.bSynchAddress = b[pos + 8];
      }
      pos += b[pos];
      const std::size_t ep_extra = pos;
      if (!skip_extra(b, end, pos)) return nullptr;
      eps.push_back(d);
      eps_extra.push_back({ep_extra, static_cast<int>(pos - ep_extra)});
    }

    const bool same_interface =
        !p->settings.empty() && p->settings.back().front().bInterfaceNumber == i.bInterfaceNumber;
    if (same_interface) {
      p->settings.back().push_back(i);
    } else {
      p->settings.push_back({i});
    }
    p->endpoints.push_back(std::move(eps));
    endpoint_extra.push_back(std::move(eps_extra));
  }

  // Pointers into the vectors, now that they are final.
  std::size_t flat = 0;
  p->interfaces.resize(p->settings.size());
  for (std::size_t g = 0; g < p->settings.size(); ++g) {
    for (auto& s : p->settings[g]) {
      const auto& ex = setting_extra[flat];
      s.extra = ex.length > 0 ? b.data() + ex.at : nullptr;
      s.extra_length = ex.length;
      auto& eps = p->endpoints[flat];
      for (std::size_t e = 0; e < eps.size(); ++e) {
        const auto& eex = endpoint_extra[flat][e];
        eps[e].extra = eex.length > 0 ? b.data() + eex.at : nullptr;
        eps[e].extra_length = eex.length;
      }
      s.endpoint = eps.empty() ? nullptr : eps.data();
      ++flat;
    }
    p->interfaces[g].altsetting = p->settings[g].data();
    p->interfaces[g].num_altsetting = static_cast<int>(p->settings[g].size());
  }
  c.bNumInterfaces = static_cast<std::uint8_t>(p->interfaces.size());
  c.interface = p->interfaces.empty() ? nullptr : p->interfaces.data();
  c.extra = config_extra_length > 0 ? b.data() + config_extra : nullptr;
  c.extra_length = config_extra_length;
  return p;
}

std::set<int> interface_numbers(const Bytes& raw) {
  std::set<int> out;
  for (std::size_t pos = 0; pos + 2 < raw.size() && raw[pos] >= 2; pos += raw[pos]) {
    if (raw[pos + 1] == LIBUSB_DT_INTERFACE && pos + 2 < raw.size()) out.insert(raw[pos + 2]);
  }
  return out;
}

std::set<std::uint8_t> endpoint_addresses(const Bytes& raw) {
  std::set<std::uint8_t> out;
  for (std::size_t pos = 0; pos + 2 < raw.size() && raw[pos] >= 2; pos += raw[pos]) {
    if (raw[pos + 1] == LIBUSB_DT_ENDPOINT) out.insert(raw[pos + 2]);
  }
  return out;
}

}  // namespace sim::usb
