#include "hex_codec.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(HexCodec, EncodesRecordsLikePrintfAndDecodesThemBackForEveryLength) {
  std::mt19937 random(7);
  for (bool twosComplement : {false, true}) {
    for (size_t count = 0; count <= 260; ++count) {
      std::vector<uint8_t> bytes(count);
      for (auto &byte : bytes) byte = static_cast<uint8_t>(random());
      unsigned expectedSum = 0;
      for (uint8_t byte : bytes) expectedSum += byte;
      std::vector<uint8_t> withChecksum = bytes;
      withChecksum.push_back(static_cast<uint8_t>(twosComplement ? 0x100 - (expectedSum & 0xFF) : ~expectedSum));
      std::string expected;
      char pair[3];
      for (uint8_t byte : withChecksum) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        expected += pair;
      }
      expected += '\n';
      const size_t prefixLength = count % 6; /* count and address: up to 5 bytes */
      std::string text(expected.size(), '#');
      EXPECT_EQ(&text[0] + text.size(), EncodeRecord(bytes.data(), prefixLength, bytes.data() + prefixLength,
                                                     count - prefixLength, twosComplement, &text[0]));
      EXPECT_EQ(expected, text) << count;

      text.resize(2 * count);
      for (std::string variant : {text, std::string()}) {
        if (variant.empty()) {  /* the same digits in lower case */
          variant = text;
          for (char &c : variant) c = static_cast<char>(std::tolower(c));
        }
        std::vector<uint8_t> decoded(count);
        unsigned sum = 0;
        ASSERT_TRUE(DecodeHex(variant.data(), count, decoded.data(), &sum));
        EXPECT_EQ(bytes, decoded);
        EXPECT_EQ(expectedSum, sum);
      }
    }
  }
}

TEST(HexCodec, RejectsANonDigitAtAnyPosition) {
  const std::string valid(80, 'a');
  std::vector<uint8_t> bytes(40);
  for (char bad : {'g', 'G', '/', ':', '@', '`', ' ', '\0', '\x80', '\xFF', 'x'}) {
    for (size_t position = 0; position < valid.size(); ++position) {
      std::string text = valid;
      text[position] = bad;
      unsigned sum = 0;
      EXPECT_FALSE(DecodeHex(text.data(), 40, bytes.data(), &sum))
          << "character " << static_cast<int>(bad) << " at " << position;
    }
  }
}

}  // namespace
