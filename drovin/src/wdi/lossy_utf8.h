#pragma once

#include <string>
#include <string_view>

namespace drovin::wdi {

// `bytes` as UTF-8 text, with each maximal ill-formed sequence replaced by U+FFFD. Device
// and hardware IDs come from the system's device registry, which promises no encoding.
std::string lossy_utf8(std::string_view bytes);

// The same for a C string; a null pointer reads as empty text.
std::string lossy_utf8(const char* text);

}  // namespace drovin::wdi
