// Sector planning over the region table: 8 KiB sectors below 0x10000, 64 KiB up to 4 MiB.
#include <gtest/gtest.h>

#include "velk/src/device/dsp/dsp_ops.h"

namespace velk::testing {
namespace {

using dsp::plan_sectors;
using dsp::Sector;
using Plan = std::vector<Sector>;

std::string failure(std::uint32_t address, std::uint32_t length) {
  auto plan = plan_sectors(address, length);
  if (plan) return "planned " + std::to_string(plan->size()) + " sectors";
  EXPECT_EQ(plan.error().kind(), ErrorKind::InvalidImage);
  return plan.error().text();
}

TEST(PlanSectors, SectorsAreAlignedToTheirOwnSize) {
  EXPECT_EQ(plan_sectors(0x12345, 0x20000).value(),
            (Plan{{0x10000, 0x10000}, {0x20000, 0x10000}, {0x30000, 0x10000}}));
  EXPECT_EQ(plan_sectors(0x1000, 0x100).value(), (Plan{{0x0, 0x2000}}));
  EXPECT_EQ(plan_sectors(0x10002, 4).value(), (Plan{{0x10000, 0x10000}}));
}

TEST(PlanSectors, ARangeCrossesFromSmallIntoLargeSectors) {
  EXPECT_EQ(plan_sectors(0xF000, 0x2000).value(), (Plan{{0xE000, 0x2000}, {0x10000, 0x10000}}));
  // The whole flash: eight small sectors and sixty-three large ones.
  auto whole = plan_sectors(0, 0x400000).value();
  ASSERT_EQ(whole.size(), 71u);
  EXPECT_EQ(whole[7], (Sector{0xE000, 0x2000}));
  EXPECT_EQ(whole[8], (Sector{0x10000, 0x10000}));
  EXPECT_EQ(whole.back(), (Sector{0x3F0000, 0x10000}));
}

TEST(PlanSectors, ZeroLengthIsEmptyAnywhere) {
  EXPECT_TRUE(plan_sectors(0x500000, 0).value().empty());
  EXPECT_TRUE(plan_sectors(0xFFFFFFFF, 0).value().empty());
  EXPECT_TRUE(plan_sectors(0x400000, 0).value().empty());
}

TEST(PlanSectors, OutOfBoundsShowsWhereTheWalkStopped) {
  EXPECT_EQ(failure(0x3FF000, 0x2000), "firmware image out of bounds: 0x400000, 0x1000");
  EXPECT_EQ(failure(0x500000, 4), "firmware image out of bounds: 0x500000, 0x4");
  EXPECT_EQ(failure(0x3F0000, 0x10001), "firmware image out of bounds: 0x400000, 0x1");
  EXPECT_EQ(plan_sectors(0x3F0000, 0x10000).value(), (Plan{{0x3F0000, 0x10000}}));
}

TEST(PlanSectors, AddressesAndLengthsNearTheTopOfThirtyTwoBitsDoNotWrap) {
  // The host passes any 32-bit pair; none may wrap around into the flash.
  EXPECT_EQ(failure(0xFFFFFFFF, 1), "firmware image out of bounds: 0xffffffff, 0x1");
  EXPECT_EQ(failure(0xFFFFFFF0, 0x20), "firmware image out of bounds: 0xfffffff0, 0x20");
  EXPECT_EQ(failure(0x3FFFFF, 0xFFFFFFFF), "firmware image out of bounds: 0x400000, 0xfffffffe");
  EXPECT_EQ(failure(0, 0xFFFFFFFF), "firmware image out of bounds: 0x400000, 0xffbfffff");
}

}  // namespace
}  // namespace velk::testing
