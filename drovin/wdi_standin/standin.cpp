// A scriptable libwdi: serves the device list and result codes of a scenario file and records
// every call, so that drovin runs end to end on machines without Windows or hardware.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "drovin/wdi_standin/include/libwdi.h"
#include "drovin/wdi_standin/include/wdi_standin.h"

namespace {

struct Device {
  unsigned short vid = 0;
  unsigned short pid = 0;
  std::optional<unsigned char> mi;
  std::optional<std::string> hardware_id;
  std::optional<std::string> device_id;
  std::optional<std::string> desc;
  std::optional<std::string> driver;
};

struct Fault {
  std::string function;
  int call = 0;  // 0: every call
  int code = 0;
};

struct State {
  bool loaded = false;
  std::vector<Device> devices;
  std::vector<Fault> faults;
  std::vector<std::pair<std::string, int>> counts;
  std::set<wdi_device_info*> lists;  // heads handed out and not yet destroyed
};

std::mutex state_mutex;
State state;

[[noreturn]] void bad_scenario(int line_number, const std::string& why) {
  std::fprintf(stderr, "wdi stand-in: scenario line %d: %s\n", line_number, why.c_str());
  std::abort();
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int high = hex_digit(text[i + 1]);
    int low = hex_digit(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::string escape(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c > 0x20 && c < 0x7f && c != '"' && c != '%') {
      out += static_cast<char>(c);
    } else {
      char buffer[4];
      std::snprintf(buffer, sizeof buffer, "%%%02X", c);
      out += buffer;
    }
  }
  return out + "\"";
}

unsigned long parse_number(int line_number, const std::string& text, int base) {
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, base);
  if (text.empty() || *end != '\0') bad_scenario(line_number, "not a number: " + text);
  return value;
}

Device parse_device(int line_number, std::istringstream& words) {
  Device device;
  bool has_vid = false;
  bool has_pid = false;
  std::string word;
  while (words >> word) {
    auto equals = word.find('=');
    if (equals == std::string::npos) bad_scenario(line_number, "expected name=value: " + word);
    std::string name = word.substr(0, equals);
    auto value = unescape(std::string_view(word).substr(equals + 1));
    if (!value) bad_scenario(line_number, "bad %XX escape: " + word);
    if (name == "vid") {
      device.vid = static_cast<unsigned short>(parse_number(line_number, *value, 16));
      has_vid = true;
    } else if (name == "pid") {
      device.pid = static_cast<unsigned short>(parse_number(line_number, *value, 16));
      has_pid = true;
    } else if (name == "mi") {
      device.mi = static_cast<unsigned char>(parse_number(line_number, *value, 10));
    } else if (name == "hardware_id") {
      device.hardware_id = *value;
    } else if (name == "device_id") {
      device.device_id = *value;
    } else if (name == "desc") {
      device.desc = *value;
    } else if (name == "driver") {
      device.driver = *value;
    } else {
      bad_scenario(line_number, "unknown device field: " + name);
    }
  }
  if (!has_vid || !has_pid) bad_scenario(line_number, "a device needs vid and pid");
  return device;
}

Fault parse_fault(int line_number, std::istringstream& words) {
  Fault fault;
  std::string call;
  std::string code;
  if (!(words >> fault.function >> call >> code)) {
    bad_scenario(line_number, "expected: fail <function> <n|*> <code>");
  }
  fault.call = call == "*" ? 0 : static_cast<int>(parse_number(line_number, call, 10));
  char* end = nullptr;
  fault.code = static_cast<int>(std::strtol(code.c_str(), &end, 10));
  if (*end != '\0') bad_scenario(line_number, "not a result code: " + code);
  return fault;
}

void load_scenario() {
  if (state.loaded) return;
  state.loaded = true;
  const char* path = std::getenv("DROVIN_WDI_SCENARIO");
  if (path == nullptr || *path == '\0') return;
  std::ifstream file(path);
  if (!file) bad_scenario(0, std::string("cannot open ") + path);
  std::string line;
  int line_number = 0;
  while (std::getline(file, line)) {
    ++line_number;
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string directive;
    if (!(words >> directive)) continue;
    if (directive == "device") {
      state.devices.push_back(parse_device(line_number, words));
    } else if (directive == "fail") {
      state.faults.push_back(parse_fault(line_number, words));
    } else {
      bad_scenario(line_number, "unknown directive: " + directive);
    }
  }
}

// Counts the call and returns the scripted result, if any.
std::optional<int> scripted_result(const std::string& function) {
  load_scenario();
  int call = 0;
  for (auto& [name, count] : state.counts) {
    if (name == function) call = ++count;
  }
  if (call == 0) {
    state.counts.emplace_back(function, 1);
    call = 1;
  }
  for (const auto& fault : state.faults) {
    if (fault.function == function && (fault.call == 0 || fault.call == call)) return fault.code;
  }
  return std::nullopt;
}

class Record {
 public:
  explicit Record(std::string function) : line_(std::move(function)) {}

  Record& number(const char* name, long long value) {
    line_ += std::string(" ") + name + "=" + std::to_string(value);
    return *this;
  }
  Record& text(const char* name, const char* value) {
    line_ += std::string(" ") + name + "=" + (value == nullptr ? "null" : escape(value));
    return *this;
  }
  Record& pointer(const char* name, const void* value) {
    line_ += std::string(" ") + name + "=" + (value == nullptr ? "null" : "ptr");
    return *this;
  }
  Record& device_info(const wdi_device_info* info) {
    if (info == nullptr) return pointer("device_info", nullptr);
    pointer("next", info->next);
    number("vid", info->vid);
    number("pid", info->pid);
    number("is_composite", info->is_composite);
    number("mi", info->mi);
    text("desc", info->desc);
    text("driver", info->driver);
    text("device_id", info->device_id);
    text("hardware_id", info->hardware_id);
    text("compatible_id", info->compatible_id);
    text("upper_filter", info->upper_filter);
    number("driver_version", static_cast<long long>(info->driver_version));
    return *this;
  }

  int finish(int result) {
    const char* path = std::getenv("DROVIN_WDI_RECORD");
    if (path != nullptr && *path != '\0') {
      std::ofstream file(path, std::ios::app);
      file << line_ << " -> " << result << '\n';
    }
    return result;
  }

 private:
  std::string line_;
};

char* copy_text(const std::optional<std::string>& text) {
  if (!text) return nullptr;
  auto* copy = static_cast<char*>(std::malloc(text->size() + 1));
  std::memcpy(copy, text->c_str(), text->size() + 1);
  return copy;
}

void free_list(wdi_device_info* list) {
  while (list != nullptr) {
    wdi_device_info* next = list->next;
    std::free(list->desc);
    std::free(list->driver);
    std::free(list->device_id);
    std::free(list->hardware_id);
    std::free(list->compatible_id);
    std::free(list->upper_filter);
    delete list;
    list = next;
  }
}

// Writes the placeholder package, so that tests can see where the directory went.
int write_package(const char* path, const char* inf_name) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) return WDI_ERROR_ACCESS;
  std::ofstream inf(std::filesystem::path(path) / inf_name);
  inf << "; placeholder written by the libwdi stand-in\n";
  return inf ? WDI_SUCCESS : WDI_ERROR_IO;
}

}  // namespace

extern "C" {

void wdi_standin_reset(void) {
  std::lock_guard lock(state_mutex);
  state.loaded = false;
  state.devices.clear();
  state.faults.clear();
  state.counts.clear();
}

int wdi_set_log_level(int level) {
  std::lock_guard lock(state_mutex);
  Record record("wdi_set_log_level");
  record.number("level", level);
  if (auto code = scripted_result("wdi_set_log_level")) return record.finish(*code);
  if (level < WDI_LOG_LEVEL_DEBUG || level > WDI_LOG_LEVEL_NONE) {
    return record.finish(WDI_ERROR_INVALID_PARAM);
  }
  return record.finish(WDI_SUCCESS);
}

int wdi_create_list(wdi_device_info** list, wdi_options_create_list* options) {
  std::lock_guard lock(state_mutex);
  Record record("wdi_create_list");
  record.pointer("list", list);
  if (options == nullptr) {
    record.pointer("options", nullptr);
  } else {
    record.number("list_all", options->list_all)
        .number("list_hubs", options->list_hubs)
        .number("trim_whitespaces", options->trim_whitespaces);
  }
  if (list == nullptr) return record.finish(WDI_ERROR_INVALID_PARAM);
  *list = nullptr;
  if (auto code = scripted_result("wdi_create_list")) return record.finish(*code);
  if (state.devices.empty()) return record.finish(WDI_ERROR_NO_DEVICE);

  wdi_device_info* head = nullptr;
  wdi_device_info** tail = &head;
  for (const auto& device : state.devices) {
    auto* entry = new wdi_device_info{};
    entry->vid = device.vid;
    entry->pid = device.pid;
    entry->is_composite = device.mi ? TRUE : FALSE;
    entry->mi = device.mi.value_or(0);
    entry->desc = copy_text(device.desc);
    entry->driver = copy_text(device.driver);
    entry->device_id = copy_text(device.device_id);
    entry->hardware_id = copy_text(device.hardware_id);
    *tail = entry;
    tail = &entry->next;
  }
  state.lists.insert(head);
  *list = head;
  record.number("devices", static_cast<long long>(state.devices.size()));
  return record.finish(WDI_SUCCESS);
}

int wdi_destroy_list(wdi_device_info* list) {
  std::lock_guard lock(state_mutex);
  Record record("wdi_destroy_list");
  // A pointer that is not a live head is recorded, not freed: the test then fails on the
  // record instead of the process crashing.
  if (list != nullptr && state.lists.erase(list) == 0) {
    record.text("list", "unknown");
    return record.finish(WDI_ERROR_INVALID_PARAM);
  }
  record.pointer("list", list);
  if (auto code = scripted_result("wdi_destroy_list")) return record.finish(*code);
  free_list(list);
  return record.finish(WDI_SUCCESS);
}

int wdi_prepare_driver(wdi_device_info* device_info, const char* path, const char* inf_name,
                       wdi_options_prepare_driver* options) {
  std::lock_guard lock(state_mutex);
  Record record("wdi_prepare_driver");
  record.device_info(device_info).text("path", path).text("inf_name", inf_name);
  if (options == nullptr) {
    record.pointer("options", nullptr);
  } else {
    record.number("driver_type", options->driver_type)
        .text("vendor_name", options->vendor_name)
        .text("device_guid", options->device_guid)
        .number("disable_cat", options->disable_cat)
        .number("disable_signing", options->disable_signing)
        .text("cert_subject", options->cert_subject)
        .number("use_wcid_driver", options->use_wcid_driver);
  }
  if (device_info == nullptr || path == nullptr || inf_name == nullptr) {
    return record.finish(WDI_ERROR_INVALID_PARAM);
  }
  if (auto code = scripted_result("wdi_prepare_driver")) return record.finish(*code);
  return record.finish(write_package(path, inf_name));
}

int wdi_install_driver(wdi_device_info* device_info, const char* path, const char* inf_name,
                       wdi_options_install_driver* options) {
  std::lock_guard lock(state_mutex);
  Record record("wdi_install_driver");
  record.device_info(device_info).text("path", path).text("inf_name", inf_name);
  if (options == nullptr) {
    record.pointer("options", nullptr);
  } else {
    record.pointer("hWnd", options->hWnd)
        .number("install_filter_driver", options->install_filter_driver)
        .number("pending_install_timeout", options->pending_install_timeout);
  }
  if (device_info == nullptr || path == nullptr || inf_name == nullptr) {
    return record.finish(WDI_ERROR_INVALID_PARAM);
  }
  if (auto code = scripted_result("wdi_install_driver")) return record.finish(*code);
  return record.finish(WDI_SUCCESS);
}

}  // extern "C"
