// flash_ff, write_dsp and read_dsp against the virtual loader: which sectors move, what the
// host is told as progress, and what is refused before anything reaches the loader.
#include "tests/dsp/dsp_fixture.h"
#include "tests/support/ff_builder.h"
#include "velk/src/device/dsp/dsp_ops.h"

namespace velk::testing {
namespace {

constexpr std::uint32_t DSP_ERASE = 1, DSP_READ = 2, DSP_WRITE = 3, DSP_WRITE_CHECK = 11;

// A loader image the structural check accepts: type 0x09A5, no header entries, and a chain
// whose zero link sits 22 bytes before the end. A longer image (size = 6 mod 8) has one block
// whose link L leads ((2L + 10) & ~7) + 2 bytes on.
Bytes loader_image(std::size_t size = 52) {
  Bytes image(size, 0);
  image[0] = 0x09;
  image[1] = 0xA5;
  if (size > 52) {
    const std::size_t step = size - 22 - 32;
    const auto link = static_cast<std::uint16_t>((step - 10) / 2);
    image[30] = static_cast<std::uint8_t>(link >> 8);
    image[31] = static_cast<std::uint8_t>(link);
  }
  return image;
}

std::vector<std::uint32_t> codes(const std::vector<Command>& commands) {
  std::vector<std::uint32_t> out;
  for (const auto& c : commands) out.push_back(c.code);
  return out;
}

using FlashFf = DspTest;
using WriteDsp = DspTest;
using ReadDsp = DspTest;

// ---- flash_ff ----

TEST_F(FlashFf, EraseOfOneWholeSectorIsOneEraseCommand) {
  std::fill(flash().begin() + 0x10000, flash().begin() + 0x20000, 0x00);
  ASSERT_TRUE(
      dsp::flash_ff(device(), ff_image({ff_erase(0x10000, 0x10000)}), recording_progress()));
  EXPECT_EQ(commands(), (std::vector<Command>{{DSP_ERASE, 0x10000, 0x10000, 0}}));
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 0x10000}, {0x10000, 0x10000}}));
  EXPECT_EQ(std::count(flash().begin() + 0x10000, flash().begin() + 0x20000, 0xFF), 0x10000);
}

TEST_F(FlashFf, EraseMustCoverWholeSectors) {
  for (auto [address, length, message] :
       {std::tuple{0x10000u, 0x8000u, "invalid erase command: 0x10000, 0x8000"},
        std::tuple{0x18000u, 0x10000u, "invalid erase command: 0x18000, 0x10000"}}) {
    sim::bus().requests().clear();
    auto result =
        dsp::flash_ff(device(), ff_image({ff_erase(address, length)}), recording_progress());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::InvalidImage);
    EXPECT_EQ(result.error().text(), message);
    EXPECT_TRUE(commands().empty());
  }
}

TEST_F(FlashFf, SmallWriteReadsItsSectorAndWritesItOnlyWhenBytesDiffer) {
  const auto image = ff_image({ff_data(0x10002, {0xDE, 0xAD, 0xBE, 0xEF})});
  ASSERT_TRUE(dsp::flash_ff(device(), image, recording_progress()));
  EXPECT_EQ(codes(commands()), (std::vector<std::uint32_t>{DSP_READ, DSP_WRITE, DSP_WRITE_CHECK}));
  EXPECT_EQ(commands()[0], (Command{DSP_READ, 0x10000, 0x10000, 0}));
  EXPECT_EQ(data_reports(RequestKind::HidSendFeature).size(), 32u);  // the whole 64 KiB sector
  EXPECT_EQ(Bytes(flash().begin() + 0x10000, flash().begin() + 0x10008),
            (Bytes{0xFF, 0xFF, 0xDE, 0xAD, 0xBE, 0xEF, 0xFF, 0xFF}));
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 4}, {4, 4}}));

  // The same bytes again: read, compared, left alone, and still counted.
  sim::bus().requests().clear();
  progress_calls().clear();
  ASSERT_TRUE(dsp::flash_ff(device(), image, recording_progress()));
  EXPECT_EQ(codes(commands()), (std::vector<std::uint32_t>{DSP_READ}));
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 4}, {4, 4}}));
}

TEST_F(FlashFf, SectionsApplyInFileOrder) {
  // Erase, then write into the erased sector, then a write that spans two sectors.
  std::fill(flash().begin() + 0x20000, flash().begin() + 0x40000, 0x11);
  const auto image = ff_image(
      {ff_erase(0x20000, 0x10000), ff_data(0x20010, {1, 2, 3, 4}), ff_data(0x2FFFE, {5, 6, 7, 8})});
  ASSERT_TRUE(dsp::flash_ff(device(), image, recording_progress()));
  EXPECT_EQ(codes(commands()),
            (std::vector<std::uint32_t>{DSP_ERASE, DSP_READ, DSP_WRITE, DSP_WRITE_CHECK, DSP_READ,
                                        DSP_WRITE, DSP_WRITE_CHECK, DSP_READ, DSP_WRITE,
                                        DSP_WRITE_CHECK}));
  EXPECT_EQ(flash()[0x2000F], 0xFF);
  EXPECT_EQ(Bytes(flash().begin() + 0x20010, flash().begin() + 0x20014), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(Bytes(flash().begin() + 0x2FFFE, flash().begin() + 0x30002), (Bytes{5, 6, 7, 8}));
  EXPECT_EQ(flash()[0x30002], 0x11);  // the second sector was not erased
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 0x10008},
                                             {0x10000, 0x10008},
                                             {0x10004, 0x10008},
                                             {0x10006, 0x10008},
                                             {0x10008, 0x10008}}));
}

TEST_F(FlashFf, ProtectedMemoryStartsBelowTheSixtyFourKiBMark) {
  for (const auto& image :
       {ff_image({ff_data(0xFFFE, {1, 2, 3, 4})}), ff_image({ff_erase(0xFFFE, 0x10002)})}) {
    sim::bus().requests().clear();
    progress_calls().clear();
    auto result = dsp::flash_ff(device(), image, recording_progress());
    ASSERT_FALSE(result);
    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(progress_calls().size(), 1u);  // (0, total) comes before the refusal
  }
  EXPECT_EQ(dsp::flash_ff(device(), ff_image({ff_data(0xFFFE, {1, 2})}), Progress()).error().text(),
            "write section overwrites protected memory: 0xfffe");
  EXPECT_EQ(dsp::flash_ff(device(), ff_image({ff_erase(0xFFFE, 2)}), Progress()).error().text(),
            "erase section overwrites protected memory: 0xfffe");
  EXPECT_EQ(log_->count("Write: 0xfffe 0x2"), 1u);
  EXPECT_EQ(log_->count("Erase: 0xfffe 0x2"), 1u);

  EXPECT_TRUE(dsp::flash_ff(device(), ff_image({ff_data(0x10000, {1, 2})}), Progress()));
  EXPECT_TRUE(dsp::flash_ff(device(), ff_image({ff_erase(0x10000, 0x10000)}), Progress()));
}

TEST_F(FlashFf, EmptyImageReportsNothingToDo) {
  ASSERT_TRUE(dsp::flash_ff(device(), {}, recording_progress()));
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 0}}));
  EXPECT_TRUE(reports().empty());
}

TEST_F(FlashFf, AParseErrorComesBeforeProgressAndTraffic) {
  auto image = ff_image({ff_erase(0x10000, 0x10000)});
  image[62] = 0xEF;
  auto result = dsp::flash_ff(device(), image, recording_progress());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::InvalidImage);
  EXPECT_TRUE(progress_calls().empty());
  EXPECT_TRUE(reports().empty());
}

TEST_F(FlashFf, SectionsBeyondTheFlashFailAfterTheSectionsBefore) {
  std::fill(flash().begin() + 0x10000, flash().begin() + 0x20000, 0x00);
  auto result = dsp::flash_ff(
      device(), ff_image({ff_erase(0x10000, 0x10000), ff_data(0x3FFFFE, {1, 2, 3, 4})}),
      recording_progress());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "firmware image out of bounds: 0x400000, 0x2");
  EXPECT_EQ(flash()[0x10000], 0xFF);  // nothing is undone
}

TEST_F(FlashFf, TotalOfHugeErasesIsNotCutToThirtyTwoBits) {
  // Two erase records of 0x7FFFFFFF words each claim 0xFFFFFFFE bytes; their sum needs 33 bits.
  const auto image = ff_image({{0x21, 0x8000, 0x7FFFFFFF, {}}, {0x21, 0x8000, 0x7FFFFFFF, {}}});
  auto result = dsp::flash_ff(device(), image, recording_progress());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "firmware image out of bounds: 0x400000, 0xffc0fffe");
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 0x1FFFFFFFCull}}));
  EXPECT_TRUE(commands().empty());
}

TEST_F(FlashFf, LoaderFailuresPassThroughUnchanged) {
  faults().crc_error_on_write_check = 1;
  auto result = dsp::flash_ff(device(), ff_image({ff_data(0x10000, {1, 2})}), recording_progress());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display(), "device error: command CRC error");
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 2}}));
}

// ---- write_dsp ----

TEST_F(WriteDsp, WritesThroughEverySectorItTouches) {
  const Bytes data = pattern(0x12000, 5);
  ASSERT_TRUE(dsp::write_dsp(device(), 0x1F000, data, recording_progress()));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), flash().begin() + 0x1F000));
  EXPECT_EQ(flash()[0x1EFFF], 0xFF);
  EXPECT_EQ(flash()[0x31000], 0xFF);
  EXPECT_EQ(
      progress_calls(),
      (ProgressCalls{{0, 0x12000}, {0x1000, 0x12000}, {0x11000, 0x12000}, {0x12000, 0x12000}}));
  EXPECT_EQ(sim::bus().requests().count(RequestKind::HidSendFeature) -
                data_reports(RequestKind::HidSendFeature).size(),
            9u);  // three sectors: read, write and check each
}

TEST_F(WriteDsp, LowAddressesOtherThanZeroAreRefusedFirst) {
  auto result = dsp::write_dsp(device(), 0x2000, Bytes(4, 1), recording_progress());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display(), "invalid firmware image: invalid loader address: 0x2000");
  EXPECT_TRUE(reports().empty());
  EXPECT_TRUE(progress_calls().empty());
  EXPECT_EQ(dsp::write_dsp(device(), 0xFFFF, Bytes(4, 1), Progress()).error().text(),
            "invalid loader address: 0xffff");
}

TEST_F(WriteDsp, AtZeroOnlyALoaderImage) {
  auto result = dsp::write_dsp(device(), 0, Bytes(40, 0), recording_progress());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "invalid loader image");
  EXPECT_EQ(log_->count("Image too small: 0x28"), 1u);
  EXPECT_TRUE(reports().empty());

  const Bytes image = loader_image();
  ASSERT_TRUE(dsp::write_dsp(device(), 0, image, recording_progress()));
  EXPECT_EQ(commands().front(), (Command{DSP_READ, 0, 0x2000, 0}));  // a small sector
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash().begin()));
}

TEST_F(WriteDsp, ALongLoaderImageContinuesIntoTheLargeSectors) {
  const Bytes image = loader_image(0x10046);
  ASSERT_TRUE(dsp::write_dsp(device(), 0, image, Progress()));
  std::vector<std::uint32_t> read_sizes;
  for (const auto& c : commands()) {
    if (c.code == DSP_READ) read_sizes.push_back(c.arg2);
  }
  EXPECT_EQ(read_sizes, (std::vector<std::uint32_t>{0x2000, 0x2000, 0x2000, 0x2000, 0x2000, 0x2000,
                                                    0x2000, 0x2000, 0x10000}));
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash().begin()));
}

TEST_F(WriteDsp, RangesPastTheFlashAreRefusedBeforeAnySector) {
  for (auto [address, length, message] :
       {std::tuple{0xFFFFFFFEu, 4u, "firmware image out of bounds: 0xfffffffe, 0x4"},
        std::tuple{0x3FFFFEu, 4u, "firmware image out of bounds: 0x400000, 0x2"}}) {
    sim::bus().requests().clear();
    auto result = dsp::write_dsp(device(), address, Bytes(length, 0), recording_progress());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().text(), message);
    EXPECT_TRUE(reports().empty());
  }
}

// ---- read_dsp ----

TEST_F(ReadDsp, ReadsTheWholeSectorAndHandsOutTheRangeAsked) {
  const Bytes content = pattern(0x2000, 1);
  std::copy(content.begin(), content.end(), flash().begin());
  Bytes out(0x100);
  ASSERT_TRUE(dsp::read_dsp(device(), 0x1000, out, recording_progress()));
  EXPECT_EQ(commands(), (std::vector<Command>{{DSP_READ, 0, 0x2000, 0}}));
  EXPECT_EQ(out, Bytes(content.begin() + 0x1000, content.begin() + 0x1100));
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 0x100}, {0x100, 0x100}}));
}

TEST_F(ReadDsp, ACrossingReadJoinsTheSectorsInOrder) {
  const Bytes content = pattern(0x400, 2);
  std::copy(content.begin(), content.end(), flash().begin() + 0xFE00);
  Bytes out(0x400);
  ASSERT_TRUE(dsp::read_dsp(device(), 0xFE00, out, recording_progress()));
  EXPECT_EQ(commands(),
            (std::vector<Command>{{DSP_READ, 0xE000, 0x2000, 0}, {DSP_READ, 0x10000, 0x10000, 0}}));
  EXPECT_EQ(out, content);
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 0x400}, {0x200, 0x400}, {0x400, 0x400}}));
}

TEST_F(ReadDsp, ZeroLengthReadsNothingAnywhere) {
  for (std::uint32_t address : {0u, 0x10000u, 0x400000u, 0xFFFFFFFFu}) {
    progress_calls().clear();
    ASSERT_TRUE(dsp::read_dsp(device(), address, {}, recording_progress()));
    EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 0}}));
  }
  EXPECT_TRUE(reports().empty());
}

TEST_F(ReadDsp, PastTheFlashFailsAfterTheFirstProgress) {
  Bytes out(0x200, 0xAB);
  auto result = dsp::read_dsp(device(), 0xFFFFFF00, out, recording_progress());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "firmware image out of bounds: 0xffffff00, 0x200");
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 0x200}}));
  EXPECT_TRUE(reports().empty());
  EXPECT_EQ(out, Bytes(0x200, 0xAB));
}

TEST_F(ReadDsp, AFailedSectorEndsTheRead) {
  faults().short_data_reports = 1;
  faults().data_reports_before_fault = 4;  // the first sector passes, the second fails
  Bytes out(0x4000);
  auto result = dsp::read_dsp(device(), 0, out, recording_progress());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display(), "device error: partial sector read: 0x7d0 < 0x802");
  EXPECT_EQ(progress_calls(), (ProgressCalls{{0, 0x4000}, {0x2000, 0x4000}}));
}

}  // namespace
}  // namespace velk::testing
