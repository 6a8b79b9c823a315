#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "image_fixture.h"
#include "srec_text.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Add(uint32_t address, const Bytes &bytes) {
  return TrlFirmwareAddData(address, static_cast<uint32_t>(bytes.size()), bytes.data());
}

TEST_F(ImageTest, AddKeepsSegmentsSortedAndMergesAdjacentData) {
  ASSERT_EQ(TRL_OK, Add(0x300, {3}));
  ASSERT_EQ(TRL_OK, Add(0x100, {1}));
  ASSERT_EQ(TRL_OK, Add(0x200, {2}));
  EXPECT_EQ((SegmentSnapshot{{0x100, {1}}, {0x200, {2}}, {0x300, {3}}}), Segments());
  ASSERT_EQ(TRL_OK, Add(0x101, {4, 5}));  /* after */
  ASSERT_EQ(TRL_OK, Add(0x1FE, {6, 7}));  /* before */
  EXPECT_EQ((SegmentSnapshot{{0x100, {1, 4, 5}}, {0x1FE, {6, 7, 2}}, {0x300, {3}}}), Segments());
}

TEST_F(ImageTest, AddOverwritesWhereItOverlapsAndBridgesSegments) {
  ASSERT_EQ(TRL_OK, Add(0x10, Bytes(4, 0xAA)));
  ASSERT_EQ(TRL_OK, Add(0x18, Bytes(4, 0xBB)));
  ASSERT_EQ(TRL_OK, Add(0x20, Bytes(4, 0xCC)));
  ASSERT_EQ(TRL_OK, Add(0x12, Bytes(0x10, 0x11)));  /* covers the gaps and part of each side */
  Bytes expected = {0xAA, 0xAA};
  expected.insert(expected.end(), 0x10, 0x11);
  expected.insert(expected.end(), {0xCC, 0xCC});
  EXPECT_EQ((SegmentSnapshot{{0x10, expected}}), Segments());
  ASSERT_EQ(TRL_OK, Add(0x08, Bytes(0x20, 0x22)));  /* swallows the whole segment */
  EXPECT_EQ((SegmentSnapshot{{0x08, Bytes(0x20, 0x22)}}), Segments());
}

TEST_F(ImageTest, AddRefusesEmptyNullAndOverflowingData) {
  const uint8_t byte = 0;
  EXPECT_EQ(TRL_ERR_ARGUMENT, TrlFirmwareAddData(0x100, 0, &byte));
  EXPECT_EQ(TRL_ERR_ARGUMENT, TrlFirmwareAddData(0x100, 1, nullptr));
  EXPECT_EQ(TRL_ERR_OVERFLOW, Add(0xFFFFFFFF, {1, 2}));
  EXPECT_EQ(TRL_OK, Add(0xFFFFFFFF, {1}));
  EXPECT_EQ((SegmentSnapshot{{0xFFFFFFFF, {1}}}), Segments());
}

TEST_F(ImageTest, RemoveSplitsTrimsAndDropsSegments) {
  ASSERT_EQ(TRL_OK, Add(0x100, Ramp(0x10)));
  ASSERT_EQ(TRL_OK, Add(0x200, Ramp(0x10)));
  ASSERT_EQ(TRL_OK, Add(0x300, Ramp(0x10)));
  ASSERT_EQ(TRL_OK, TrlFirmwareRemoveData(0x104, 4));   /* split */
  ASSERT_EQ(TRL_OK, TrlFirmwareRemoveData(0x10C, 0xF8)); /* tail of one, head of the next */
  EXPECT_EQ((SegmentSnapshot{{0x100, Ramp(4)}, {0x108, Ramp(4, 8)}, {0x204, Ramp(0xC, 4)},
                             {0x300, Ramp(0x10)}}),
            Segments());
  ASSERT_EQ(TRL_OK, TrlFirmwareRemoveData(0x0, 0x300));  /* all but the last */
  EXPECT_EQ((SegmentSnapshot{{0x300, Ramp(0x10)}}), Segments());
  ASSERT_EQ(TRL_OK, TrlFirmwareRemoveData(0x310, 0x100));  /* touches, holds no data */
  ASSERT_EQ(TRL_OK, TrlFirmwareRemoveData(0x2F0, 0x10));
  EXPECT_EQ((SegmentSnapshot{{0x300, Ramp(0x10)}}), Segments());
}

TEST_F(ImageTest, RemoveRefusesEmptyAndOverflowingRanges) {
  ASSERT_EQ(TRL_OK, Add(0x100, Ramp(0x10)));
  EXPECT_EQ(TRL_ERR_ARGUMENT, TrlFirmwareRemoveData(0x100, 0));
  EXPECT_EQ(TRL_ERR_OVERFLOW, TrlFirmwareRemoveData(0xFFFFFFFF, 2));
  EXPECT_EQ(TRL_OK, TrlFirmwareRemoveData(0xFFFFFFFF, 1));
  EXPECT_EQ((SegmentSnapshot{{0x100, Ramp(0x10)}}), Segments());
}

TEST_F(ImageTest, ClearDropsSegmentsHeaderAndStart) {
  ASSERT_EQ(TRL_OK, Load(Srec('0', 0, {'h'}) + Srec('1', 0x10, {1}) + Srec('9', 0x10)));
  ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
  EXPECT_EQ(0u, TrlFirmwareGetSegmentCount());
  uint32_t length = 7;
  EXPECT_EQ(nullptr, TrlFirmwareGetHeader(&length));
  EXPECT_EQ(0u, length);
  EXPECT_EQ(0u, TrlFirmwareGetStartAddress(&length));
}

TEST_F(ImageTest, GetSegmentRefusesBadIndexAndNullResults) {
  ASSERT_EQ(TRL_OK, Add(0x100, {1}));
  uint32_t address = 0;
  uint32_t length = 0;
  EXPECT_EQ(nullptr, TrlFirmwareGetSegment(1, &address, &length));
  EXPECT_EQ(nullptr, TrlFirmwareGetSegment(0, nullptr, &length));
  EXPECT_EQ(nullptr, TrlFirmwareGetSegment(0, &address, nullptr));
}

}  // namespace

namespace {

/*
 * Adds, removes and loads against a byte map. Now and then the image is saved
 * and loaded again, so that edits also meet segments as a load lays them out,
 * and a record that agrees with the bytes held is loaded on top.
 */
TEST_F(ImageTest, RandomAddsRemovesAndLoadsMatchASimpleModel) {
  std::mt19937 random(42);
  std::map<uint32_t, uint8_t> model;
  for (int step = 0; step < 3000; ++step) {
    const uint32_t address = 0x1000 + random() % 0x800;
    const uint32_t length = 1 + random() % (step % 7 == 0 ? 0x300 : 0x40);
    Bytes data(length);
    for (uint32_t index = 0; index < length; ++index) {
      const auto held = model.find(address + index);
      data[index] = held != model.end() ? held->second : static_cast<uint8_t>(random());
    }
    const unsigned action = random() % 8;
    if (action < 3) {
      ASSERT_EQ(TRL_OK, TrlFirmwareRemoveData(address, length));
      model.erase(model.lower_bound(address), model.lower_bound(address + length));
    } else if (action == 3) {
      const std::string text = Saved();
      ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
      ASSERT_EQ(TRL_OK, Load(text));
    } else {
      if (action == 4) {
        ASSERT_EQ(TRL_OK, Load(Srec('1', address, Bytes(data.begin(), data.begin() + std::min(length, 250u)))));
        data.resize(std::min(length, 250u));
      } else {
        for (auto &byte : data) byte = static_cast<uint8_t>(random());
        ASSERT_EQ(TRL_OK, Add(address, data));
      }
      for (uint32_t index = 0; index < data.size(); ++index) model[address + index] = data[index];
    }
    ASSERT_EQ(ModelSegments(model), Segments()) << "step " << step;
  }
}

}  // namespace
