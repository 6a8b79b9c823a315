#include "hex_codec.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(HexCodec, EncodesLikePrintfAndDecodesBackForEveryLength) {
  std::mt19937 random(7);
  for (size_t count = 0; count < 100; ++count) {
    std::vector<uint8_t> bytes(count);
    for (auto &byte : bytes) byte = static_cast<uint8_t>(random());
    std::string expected;
    char pair[3];
    for (uint8_t byte : bytes) {
      std::snprintf(pair, sizeof pair, "%02X", byte);
      expected += pair;
    }
    std::string text(2 * count, '\0');
    unsigned encodedSum = 0;
    EXPECT_EQ(&text[0] + text.size(), EncodeHex(bytes.data(), count, &text[0], &encodedSum));
    EXPECT_EQ(expected, text);
    unsigned expectedSum = 0;
    for (uint8_t byte : bytes) expectedSum += byte;
    EXPECT_EQ(expectedSum, encodedSum);

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
