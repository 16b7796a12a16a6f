#include "drovin/src/wdi/lossy_utf8.h"

namespace drovin::wdi {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct Lead {
  size_t length;       // of the whole sequence; 0 for a byte that cannot start one
  unsigned char low;   // bounds of the second byte, which rule out overlong forms,
  unsigned char high;  // surrogates and code points past U+10FFFF
};

Lead lead(unsigned char byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
  if (byte == 0xE0) return {3, 0xA0, 0xBF};
  if (byte == 0xED) return {3, 0x80, 0x9F};
  if (byte >= 0xE1 && byte <= 0xEF) return {3, 0x80, 0xBF};
  if (byte == 0xF0) return {4, 0x90, 0xBF};
  if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
  if (byte == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

std::string lossy_utf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte < 0x80) {
      text += static_cast<char>(byte);
      ++i;
      continue;
    }
    Lead expected = lead(byte);
    if (expected.length == 0) {
      text += kReplacement;
      ++i;
      continue;
    }
    size_t valid = 1;
    while (valid < expected.length && i + valid < bytes.size()) {
      auto next = static_cast<unsigned char>(bytes[i + valid]);
      unsigned char low = valid == 1 ? expected.low : 0x80;
      unsigned char high = valid == 1 ? expected.high : 0xBF;
      if (next < low || next > high) break;
      ++valid;
    }
    if (valid == expected.length) {
      text += bytes.substr(i, valid);
    } else {
      text += kReplacement;
    }
    i += valid;
  }
  return text;
}

std::string lossy_utf8(const char* text) {
  return text == nullptr ? std::string() : lossy_utf8(std::string_view(text));
}

}  // namespace drovin::wdi
