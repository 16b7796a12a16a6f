// The logger is installed once per process, so each case installs it in a child process
// (a death test that exits normally) and the parent reads the file it wrote.
#include "velk/src/c/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "velk_version.h"

namespace velk::log {
namespace {

namespace fs = std::filesystem;

// The set-up's outcome as velk_init returns it.
std::int32_t setup_code(const char* path, std::uint32_t level) {
  const Status status = setup(path, level);
  return status ? 0 : status.error().code();
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("velk-log-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    // Where death tests re-run the test in a new process (Windows), the child must not wipe
    // what the parent prepared.
    if (GTEST_FLAG_GET(internal_run_death_test).empty()) fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Joined as bytes: on Windows a path object would pass the name through the ANSI code page.
  std::string path(const char* name) const { return dir_.string() + "/" + name; }

  static std::vector<std::string> lines(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  fs::path dir_;
};

// The banner carries the project's version (0.1.9) and the build's revision tag.
const std::regex kInfo(R"(^\d\d:\d\d:\d\d \[INFO\] VELK v)" +
                       std::regex_replace(VELK_VERSION_STRING, std::regex(R"(\.)"), R"(\.)") +
                       "-gb1f23bd$");

TEST_F(LogTest, LevelZeroInstallsNothingAndReadsNoPath) {
  EXPECT_EQ(setup_code(nullptr, 0), 0);
  EXPECT_EQ(setup_code("/nonexistent-dir/x.log", 0), 0);
  EXPECT_FALSE(fs::exists("/nonexistent-dir/x.log"));
  EXPECT_FALSE(enabled(Level::Error));
}

TEST_F(LogTest, FirstLineIsTheBannerAtInfo) {
  std::string file = path("a.log");
  EXPECT_EXIT(
      {
        if (setup_code(file.c_str(), 3) != 0) std::exit(1);
        VELK_DEBUG("velk::device", "not written at info");
        VELK_ERROR("velk::c", "device error: {}", "x");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  auto got = lines(file);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(std::regex_match(got[0], kInfo)) << got[0];
  EXPECT_TRUE(std::regex_match(got[1], std::regex(R"(^\d\d:\d\d:\d\d \[ERROR\] device error: x$)")))
      << got[1];
}

TEST_F(LogTest, WarnLevelCreatesTheFileWithoutBanner) {
  std::string file = path("w.log");
  EXPECT_EXIT({ std::exit(setup_code(file.c_str(), 2) == 0 ? 0 : 1); },
              ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(fs::exists(file));
  EXPECT_TRUE(lines(file).empty());
}

TEST_F(LogTest, FieldsDependOnTheRecordLevel) {
  std::string file = path("f.log");
  EXPECT_EXIT(
      {
        if (setup_code(file.c_str(), 4) != 0) std::exit(1);
        VELK_INFO("velk::device::dfu", "info record");
        VELK_DEBUG("velk::device::dfu", "debug record {}", 7);
        VELK_TRACE("velk::device::dfu", "trace is filtered at debug");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  auto got = lines(file);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_TRUE(std::regex_match(got[1], std::regex(R"(^\d\d:\d\d:\d\d \[INFO\] info record$)")))
      << got[1];
  EXPECT_TRUE(std::regex_match(
      got[2],
      std::regex(R"(^\d\d:\d\d:\d\d \[DEBUG\] \(\d+\) velk::device::dfu: debug record 7$)")))
      << got[2];
}

TEST_F(LogTest, LargeLevelsMeanTraceWithLocation) {
  for (std::uint32_t level : {7u, 0xFFFFFFFFu}) {
    std::string file = path(level == 7 ? "t7.log" : "tmax.log");
    EXPECT_EXIT(
        {
          if (setup_code(file.c_str(), level) != 0) std::exit(1);
          VELK_TRACE("velk::device::btm", "PS request: {}",
                     Dump{reinterpret_cast<const std::uint8_t*>("\xff\xfd\xc2\x01\x00"), 5});
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    auto got = lines(file);
    ASSERT_EQ(got.size(), 2u) << level;
    EXPECT_TRUE(std::regex_match(
        got[1],
        std::regex(
            R"(^\d\d:\d\d:\d\d \[TRACE\] \(\d+\) velk::device::btm: \[tests/core/log_test\.cpp:\d+\] PS request: \[ff, fd, c2, 1, 0\]$)")))
        << got[1];
  }
}

TEST_F(LogTest, ExistingContentIsKept) {
  std::string file = path("keep.log");
  std::ofstream(file, std::ios::binary) << "earlier line\n";
  EXPECT_EXIT({ std::exit(setup_code(file.c_str(), 3) == 0 ? 0 : 1); },
              ::testing::ExitedWithCode(0), "");
  auto got = lines(file);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "earlier line");
  EXPECT_TRUE(std::regex_match(got[1], kInfo));
}

TEST_F(LogTest, BadPathsAreInvalidArguments) {
  std::string bad = path("bad-\xff\xfe.log");
  EXPECT_EQ(setup_code(bad.c_str(), 3), -65532);
  EXPECT_TRUE(fs::is_empty(dir_));
  EXPECT_EQ(setup_code(path("no-such-dir/x.log").c_str(), 3), -65532);
  EXPECT_EQ(setup_code(nullptr, 3), -65532);
  EXPECT_FALSE(enabled(Level::Error));  // nothing installed, the maximum level unchanged
}

TEST_F(LogTest, SecondSetUpKeepsTheFirstLog) {
  std::string first = path("first.log");
  std::string second = path("second.log");
  EXPECT_EXIT(
      {
        if (setup_code(first.c_str(), 5) != 0) std::exit(1);
        if (setup_code(second.c_str(), 2) != -65535) std::exit(2);
        // The second call lowered the global maximum to warn: info no longer passes.
        VELK_INFO("velk::c", "filtered by the new maximum");
        VELK_WARN("velk::c", "still written");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(fs::exists(second));
  EXPECT_TRUE(lines(second).empty());
  auto got = lines(first);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(std::regex_match(got[1], std::regex(R"(^\d\d:\d\d:\d\d \[WARN\] still written$)")))
      << got[1];
}

TEST_F(LogTest, ThreadsAreNumberedFromOneAndLinesNeverInterleave) {
  std::string file = path("threads.log");
  EXPECT_EXIT(
      {
        if (setup_code(file.c_str(), 4) != 0) std::exit(1);
        VELK_DEBUG("velk::device", "main");
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
          threads.emplace_back([] {
            for (int i = 0; i < 200; ++i) VELK_DEBUG("velk::device", "{}", std::string(100, 'x'));
          });
        }
        for (auto& t : threads) t.join();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  auto got = lines(file);
  ASSERT_EQ(got.size(), 2u + 800u);
  EXPECT_TRUE(std::regex_match(got[1], std::regex(R"(^.* \(1\) velk::device: main$)"))) << got[1];
  const std::regex worker(R"(^\d\d:\d\d:\d\d \[DEBUG\] \(([2-5])\) velk::device: x{100}$)");
  for (std::size_t i = 2; i < got.size(); ++i)
    ASSERT_TRUE(std::regex_match(got[i], worker)) << got[i];
}

// The hosts read a failure's reason back from the log: every error record's message, exactly
// as written, and nothing of the other records, whatever their messages hold.
TEST_F(LogTest, HostsReadBackTheErrorRecordsWritten) {
  std::string file = path("records.log");
  EXPECT_EXIT(
      {
        if (setup_code(file.c_str(), 5) != 0) std::exit(1);
        VELK_ERROR("velk::c", "device error: {}", "first");
        VELK_WARN("velk::device::dfu", "[ERROR] in a warning");
        VELK_DEBUG("velk::device", "14:03:07 [ERROR] looks like one");
        VELK_TRACE("velk::device::btm", " [ERROR] ");
        VELK_ERROR("velk::c", "Caught exception: {}", "Any [ERROR] ");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  std::vector<std::string> read_back;
  for (const std::string& line : lines(file)) {
    if (auto message = error_record_message(line)) read_back.emplace_back(*message);
  }
  EXPECT_EQ(read_back,
            (std::vector<std::string>{"device error: first", "Caught exception: Any [ERROR] "}));
}

TEST(LogDump, FormatsBytesUnpadded) {
  const std::uint8_t bytes[] = {0x00, 0xfc, 0xfd, 0xc2, 0x0a};
  EXPECT_EQ(fmt::format("{}", Dump{bytes, 5}), "[0, fc, fd, c2, a]");
  EXPECT_EQ(fmt::format("{}", Dump{bytes, 0}), "[]");
}

}  // namespace
}  // namespace velk::log
