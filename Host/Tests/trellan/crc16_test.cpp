#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <utility>
#include <vector>

#include "crc16.h"
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

/* The public call, the table and, where this CPU can, the folding the public call then takes. */
TEST(Crc16, EveryPathMatchesBitwiseReferenceForEveryLengthAndAlignment) {
  using Calculate = std::function<uint16_t(const uint8_t *, size_t)>;
  std::vector<std::pair<const char *, Calculate>> paths = {
      {"public", [](const uint8_t *data, size_t length) {
         return TrlUtilCrc16Calculate(data, static_cast<uint32_t>(length));
       }},
      {"table", [](const uint8_t *data, size_t length) { return UpdateCrc16ByTable(0xFFFF, data, length); }}};
  if (const Crc16Update folding = FindCrc16Folding()) {
    paths.push_back({"folding", [folding](const uint8_t *data, size_t length) { return folding(0xFFFF, data, length); }});
  }
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  __builtin_cpu_init();
  if (__builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1")) {
    ASSERT_EQ(3u, paths.size()) << "this CPU can fold, but the library does not";
  }
#endif
  std::mt19937 random(1234);
  std::vector<uint8_t> data((1u << 20) + 96);
  for (auto &byte : data) byte = static_cast<uint8_t>(random());
  /* Every length up to past two strides of the folding, then long runs with every kind of tail. */
  std::vector<std::pair<size_t, size_t>> cases;
  for (size_t start = 0; start < 9; ++start) {
    for (size_t length = 0; length <= 300; ++length) cases.push_back({start, length});
  }
  cases.insert(cases.end(), {{3, 1u << 20}, {1, 128 * 37 + 16 * 5 + 9}, {15, 65536 + 127}});
  for (const auto &range : cases) {
    const uint16_t expected = ReferenceCrc(data.data() + range.first, range.second);
    for (const auto &path : paths) {
      ASSERT_EQ(expected, path.second(data.data() + range.first, range.second))
          << path.first << ", start " << range.first << " length " << range.second;
    }
  }
}

}  // namespace
