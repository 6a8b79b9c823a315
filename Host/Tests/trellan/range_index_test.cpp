/* Which range holds another whole, and whether any meets it, as the ELF reader asks about sections and segments. */
#include <gtest/gtest.h>

#include <vector>

#include "range_index.h"

namespace {

/* Numbered out of start order, and two holding [0x140, 0x150): the lower number must win. */
const std::vector<NumberedRange> RANGES = {{0x100, 0x200, 3}, {0x000, 0x100, 5}, {0x140, 0x180, 1}, {0x300, 0x300, 0}};

TEST(RangeIndexTest, FirstHolderIsTheLowestNumberHoldingTheWholeQuery) {
  struct Row {
    uint64_t start;
    uint64_t end;
    size_t holder;
  };
  const Row rows[] = {
      {0x140, 0x150, 1},         /* held by 3 and 1 */
      {0x100, 0x200, 3},         /* exactly one range */
      {0x0F0, 0x110, SIZE_MAX},  /* across two ranges, held by neither */
      {0x1F0, 0x201, SIZE_MAX},  /* one byte past the end */
      {0x000, 0x010, 5},
  };
  std::vector<NumberedRange> queries;
  for (const Row &row : rows) {
    queries.push_back(NumberedRange{row.start, row.end, 0});
  }
  const std::vector<size_t> holders = FindFirstHolders(RANGES, queries);
  for (size_t index = 0; index < queries.size(); ++index) {
    EXPECT_EQ(rows[index].holder, holders[index]) << index;
  }
}

TEST(RangeIndexTest, MeetingNeedsASharedAddress) {
  const ReachIndex index = BuildReachIndex({{0x100, 0x200, 0}, {0x120, 0x130, 1}, {0x400, 0x400, 2}});
  EXPECT_TRUE(IsMetByIndex(index, 0x1FF, 0x300));
  EXPECT_TRUE(IsMetByIndex(index, 0x000, 0x101));
  EXPECT_FALSE(IsMetByIndex(index, 0x200, 0x500)); /* the empty range at 0x400 meets nothing */
  EXPECT_FALSE(IsMetByIndex(index, 0x000, 0x100));
}

}  // namespace
