// The file operations that differ between Windows and POSIX. The same cases run in both builds;
// on Windows they are what shows that paths reach the file APIs as UTF-16 and that the log file
// is shared the way other programs expect.
#include "velk/src/c/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace velk::platform {
namespace {

namespace fs = std::filesystem;

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("velk-platform-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // The UTF-8 path our functions take, and the same file as the standard library names it.
  std::string utf8(std::string_view name) const {
    auto u8 = native(name).u8string();
    return std::string(u8.begin(), u8.end());
  }
  fs::path native(std::string_view name) const {
    return dir_ / std::u8string(name.begin(), name.end());
  }

  static std::string content(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static std::vector<std::uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
  }

  // Every name in the folder, to catch temporary files left behind.
  std::vector<std::string> listing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      auto u8 = entry.path().filename().u8string();
      names.emplace_back(u8.begin(), u8.end());
    }
    return names;
  }

  fs::path dir_;
};

// Non-ASCII in both the two-byte and the three-byte UTF-8 ranges; a path passed through the
// ANSI code page instead of UTF-16 would name a different file.
constexpr const char* kWideName =
    "Pr\xc3\xbc"
    "fung-\xe6\xb5\x8b\xe8\xaf\x95.bin";

TEST_F(PlatformTest, ReplaceFileCreatesThenReplacesWholeContentWithoutTemporaries) {
  // Binary content, so a text-mode write (CR before LF, stop at 0x1a) would show.
  std::vector<std::uint8_t> first{0x00, 0x0a, 0x0d, 0x1a, 0xff, 0x0a};
  ASSERT_TRUE(replace_file(utf8("dump.bin"), first));
  EXPECT_EQ(content(native("dump.bin")), std::string(first.begin(), first.end()));

  // Shorter than before: nothing of the old content may remain at the end.
  ASSERT_TRUE(replace_file(utf8("dump.bin"), bytes("new")));
  EXPECT_EQ(content(native("dump.bin")), "new");

  // Pieces follow one another, an empty one adding nothing.
  const std::vector<std::uint8_t> head = bytes("pie"), tail = bytes("ces");
  const std::span<const std::uint8_t> pieces[] = {head, {}, tail};
  ASSERT_TRUE(replace_file(utf8("dump.bin"), pieces));
  EXPECT_EQ(content(native("dump.bin")), "pieces");

  ASSERT_TRUE(replace_file(utf8("dump.bin"), std::span<const std::uint8_t>{}));
  EXPECT_TRUE(fs::exists(native("dump.bin")));
  EXPECT_EQ(fs::file_size(native("dump.bin")), 0u);
  EXPECT_EQ(listing(), std::vector<std::string>{"dump.bin"});
}

TEST_F(PlatformTest, ReplaceFileFailureLeavesNothingBehind) {
  EXPECT_FALSE(replace_file(utf8("no-such-dir/dump.bin"), bytes("x")));
  EXPECT_TRUE(listing().empty());

  // A folder in the way: the data is written, but it cannot take the folder's place.
  fs::create_directory(native("taken"));
  EXPECT_FALSE(replace_file(utf8("taken"), bytes("data")));
  EXPECT_TRUE(fs::is_directory(native("taken")));
  EXPECT_EQ(listing(), std::vector<std::string>{"taken"});
}

TEST_F(PlatformTest, TwoWritersOfOnePathEachReplaceItWhole) {
  // Sharing one temporary file, each would truncate or rename the other's half-written data.
  const std::vector<std::uint8_t> a(1 << 20, 'a'), b(3 << 19, 'b');
  // A name the old fixed temporary file had, left by someone: it is not ours to use.
  { std::ofstream(native("dump.bin.velk-tmp")) << "theirs"; }
  for (int round = 0; round < 10; ++round) {
    std::thread other([&] {
      auto written = replace_file(utf8("dump.bin"), b);
      EXPECT_TRUE(written) << written.error().display();
    });
    auto written = replace_file(utf8("dump.bin"), a);
    EXPECT_TRUE(written) << written.error().display();
    other.join();
    const std::string now = content(native("dump.bin"));
    EXPECT_TRUE(now == std::string(a.begin(), a.end()) || now == std::string(b.begin(), b.end()))
        << "round " << round << ": " << now.size() << " bytes";
  }
  EXPECT_EQ(content(native("dump.bin.velk-tmp")), "theirs");
  auto names = listing();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"dump.bin", "dump.bin.velk-tmp"}));
}

TEST_F(PlatformTest, NonAsciiPathsNameTheSameFileAsTheStandardLibrary) {
  ASSERT_TRUE(replace_file(utf8(kWideName), bytes("dump")));
  EXPECT_EQ(content(native(kWideName)), "dump");
  EXPECT_EQ(listing(), std::vector<std::string>{kWideName});

  const char* log_name = "\xd0\xbb\xd0\xbe\xd0\xb3-\xe2\x82\xac.log";
  {
    auto file = AppendFile::open(utf8(log_name));
    ASSERT_NE(file, nullptr);
    file->write("line\n");
  }
  EXPECT_EQ(content(native(log_name)), "line\n");
}

TEST_F(PlatformTest, AppendFileKeepsContentAndAppendsAfterOtherWriters) {
  std::string name = utf8("velk.log");
  std::ofstream(native("velk.log"), std::ios::binary) << "earlier\n";

  auto first = AppendFile::open(name);
  ASSERT_NE(first, nullptr);
  // A second writer (another process, or the same log opened twice) is allowed in, and each
  // write lands at the end, whoever wrote last.
  auto second = AppendFile::open(name);
  ASSERT_NE(second, nullptr);
  first->write("one\n");
  second->write("two\n");
  first->write("three\n");
  // Readable while open for writing.
  EXPECT_EQ(content(native("velk.log")), "earlier\none\ntwo\nthree\n");
}

TEST_F(PlatformTest, AppendFileCanBeDeletedWhileOpen) {
  auto file = AppendFile::open(utf8("velk.log"));
  ASSERT_NE(file, nullptr);
  file->write("before\n");
  std::error_code error;
  EXPECT_TRUE(fs::remove(native("velk.log"), error)) << error.message();
  file->write("after\n");  // goes nowhere, but must not fail loudly or crash
  file.reset();
  EXPECT_FALSE(fs::exists(native("velk.log")));
}

TEST_F(PlatformTest, AppendFileFailsForAMissingFolder) {
  EXPECT_EQ(AppendFile::open(utf8("no-such-dir/velk.log")), nullptr);
  EXPECT_EQ(AppendFile::open(""), nullptr);
}

}  // namespace
}  // namespace velk::platform
