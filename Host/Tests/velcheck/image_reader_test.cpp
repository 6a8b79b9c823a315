/*
 * Velcheck's reading of the held image: the CRC of a range from prefix CRCs
 * must be the CRC of its bytes, wherever the range starts and ends, and a
 * range the image does not hold wholly must be refused.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_reader.h"
#include "reference_table.h"
#include "srec_text.h"
#include "trellan.h"

namespace {

const uint32_t FIRST = 0x1000;    /* 1000 bytes */
const uint32_t SECOND = 0x2000;   /* 77 bytes */
const uint32_t TOP = 0xFFFFFF80;  /* 128 bytes, up to the top of the address space */

class ImageReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    first = Ramp(1000, 3);
    for (size_t index = 0; index < first.size(); ++index) first[index] ^= static_cast<uint8_t>(index >> 3);
    std::string text;
    for (const auto &[address, bytes] : {std::make_pair(FIRST, first), std::make_pair(SECOND, Ramp(77, 9)),
                                         std::make_pair(TOP, Ramp(128, 1))}) {
      for (size_t offset = 0; offset < bytes.size(); offset += 32) {
        const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
        text += Srec('3', address + static_cast<uint32_t>(offset),
                     std::vector<uint8_t>(begin, begin + std::min<std::ptrdiff_t>(32, bytes.end() - begin)));
      }
    }
    TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
    ASSERT_EQ(TRL_OK, TrlFirmwareLoadFromMemory(text.data(), text.size(), 0));
    IndexImage();
  }
  void TearDown() override {
    ReleaseImageIndex();
    TrlFirmwareTerminate();
  }
  std::vector<uint8_t> first;
};

TEST_F(ImageReaderTest, RangeCrcIsTheCrcOfTheBytesWhereverTheRangeLies) {
  /* Inside one stride, across one or many stride edges, from and to an edge, the whole segment. */
  const std::vector<std::pair<uint32_t, uint32_t>> ranges = {
      {0, 1}, {5, 20}, {30, 4}, {0, 32}, {32, 64}, {7, 57}, {31, 2}, {1, 998}, {0, 1000}, {999, 1}, {13, 0}};
  for (const auto &[offset, length] : ranges) {
    uint16_t crc = 0;
    ASSERT_TRUE(CalculateImageRangeCrc(FIRST + offset, length, &crc)) << offset << "+" << length;
    EXPECT_EQ(ReferenceCrc16(first.data() + offset, length), crc) << offset << "+" << length;
  }
  const std::vector<uint8_t> top = Ramp(128, 1);
  uint16_t crc = 0;
  ASSERT_TRUE(CalculateImageRangeCrc(TOP + 3, 125, &crc));
  EXPECT_EQ(ReferenceCrc16(top.data() + 3, 125), crc);
}

TEST_F(ImageReaderTest, RangesTheImageDoesNotWhollyHoldAreRefused) {
  const std::vector<std::pair<uint32_t, uint32_t>> ranges = {
      {FIRST - 1, 2}, {FIRST + 999, 2}, {FIRST, 0x1001}, {SECOND + 70, 8}, {0x3000, 1}, {TOP + 1, 0xFFFFFFFF}};
  for (const auto &[address, length] : ranges) {
    uint16_t crc = 0;
    EXPECT_FALSE(CalculateImageRangeCrc(address, length, &crc)) << address << "+" << length;
  }
  uint8_t buffer[8];
  EXPECT_EQ(0, ReadImage(nullptr, SECOND + 70, 8, buffer));
  EXPECT_EQ(1, ReadImage(nullptr, SECOND + 69, 8, buffer));
  EXPECT_EQ(Ramp(8, 9 + 69), std::vector<uint8_t>(buffer, buffer + 8));
}

}  // namespace
