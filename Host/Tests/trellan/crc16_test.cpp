#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "trellan.h"

namespace {

/* Bit by bit, straight from the definition: the table-driven code must agree. */
uint16_t ReferenceCrc(const uint8_t *data, size_t length) {
  uint16_t crc = 0xFFFF;
  for (size_t index = 0; index < length; ++index) {
    crc ^= static_cast<uint16_t>(data[index] << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

TEST(Crc16, CheckValueOfTheVariant) {
  const char text[] = "123456789";
  EXPECT_EQ(0x29B1, TrlUtilCrc16Calculate(reinterpret_cast<const uint8_t *>(text), 9));
}

TEST(Crc16, NoBytesGiveTheInitialValue) {
  const uint8_t byte = 0x55;
  EXPECT_EQ(0xFFFF, TrlUtilCrc16Calculate(&byte, 0));
  EXPECT_EQ(0xFFFF, TrlUtilCrc16Calculate(nullptr, 0));
}

TEST(Crc16, MatchesBitwiseReferenceForEveryLengthAndAlignment) {
  std::mt19937 random(1234);
  std::vector<uint8_t> data(300);
  for (auto &byte : data) byte = static_cast<uint8_t>(random());
  for (size_t start = 0; start < 9; ++start) {
    for (size_t length = 0; start + length <= data.size(); ++length) {
      ASSERT_EQ(ReferenceCrc(data.data() + start, length),
                TrlUtilCrc16Calculate(data.data() + start, static_cast<uint32_t>(length)))
          << "start " << start << " length " << length;
    }
  }
}

}  // namespace
