// The hosts take the library's facts from its sources: velkctl by including them, the Python
// binding from velk/_facts.py, which this test writes from them. The public header describes the
// result codes in a comment. Each copy is checked here against the source.
//
// After a change of the facts: VELK_UPDATE_FACTS=1 core_host_facts_test rewrites _facts.py.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "velk/src/c/error.h"
#include "velk/src/c/limits.h"
#include "velk/src/c/log.h"

namespace velk {
namespace {

std::string read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A Python string literal; the texts are printable ASCII.
std::string python_string(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

std::string python_facts() {
  std::string kinds;
  for (std::size_t i = 0; i < kErrorKinds; ++i) {
    const auto kind = static_cast<ErrorKind>(i);
    kinds += fmt::format("    ({}, {}),\n", python_string(debug_name(kind)),
                         python_string(display_name(kind)));
  }
  return fmt::format(
      R"("""The velk library's facts that the binding needs, written from the library's sources.

Do not edit: the library's test core_host_facts_test checks this file against them, and
VELK_UPDATE_FACTS=1 core_host_facts_test writes it anew.
"""

# The error kinds in the order of their numbers: the library's name and the text its error
# records start with. A kind's result code is its number plus FIRST_CODE.
ERROR_KINDS = (
{})
FIRST_CODE = {}

# The longest persistent-store value, in 16-bit words.
PSKEY_MAX_WORDS = {}

# A log line starts with the time, LOG_TIME_WIDTH characters, and the level: an error record's
# message follows LOG_ERROR_FIELD.
LOG_TIME_WIDTH = {}
LOG_ERROR_FIELD = {}
)",
      kinds, code_of(ErrorKind::InternalError), kPskeyMaxWords, log::kTimeWidth,
      python_string(log::kLevelFields[static_cast<std::size_t>(log::Level::Error)]));
}

TEST(HostFacts, ThePythonBindingHasTheLibrarysFacts) {
  const std::string path = VELK_SOURCE_DIR "/bindings/python/velk/_facts.py";
  const std::string facts = python_facts();
  if (std::getenv("VELK_UPDATE_FACTS") != nullptr) std::ofstream(path, std::ios::binary) << facts;
  EXPECT_EQ(read(path), facts) << path << " is out of date: run this test with VELK_UPDATE_FACTS=1";
}

TEST(HostFacts, ThePublicHeaderListsEveryCodeInKindOrder) {
  const std::string header = read(VELK_SOURCE_DIR "/velk/include/velk.h");
  const std::regex listed(R"(\n \*   (-\d+)  )");
  std::vector<std::int32_t> codes;
  for (std::sregex_iterator it(header.begin(), header.end(), listed), end; it != end; ++it)
    codes.push_back(std::stoi((*it)[1].str()));
  std::vector<std::int32_t> expected;
  for (std::size_t i = 0; i < kErrorKinds; ++i)
    expected.push_back(code_of(static_cast<ErrorKind>(i)));
  EXPECT_EQ(codes, expected);
  EXPECT_NE(header.find(fmt::format("Adding {} to a code gives the error kind's number, 0 to {}.",
                                    -code_of(ErrorKind::InternalError), kErrorKinds - 1)),
            std::string::npos);
}

}  // namespace
}  // namespace velk
