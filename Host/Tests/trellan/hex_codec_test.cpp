#include "hex_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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
        /* What follows a record in a file may be read by the short step, never counted. */
        const std::string file = variant + "\n:10FFFF00zz\n";
        for (bool within : {false, true}) {
          std::vector<uint8_t> decoded(std::max<size_t>(count, 8));
          unsigned sum = 0;
          ASSERT_TRUE(within ? DecodeHexWithin(file.data(), count, file.data() + file.size(), decoded.data(), &sum)
                             : DecodeHex(variant.data(), count, decoded.data(), &sum));
          decoded.resize(count);
          EXPECT_EQ(bytes, decoded) << count << (within ? " within a file" : "");
          EXPECT_EQ(expectedSum, sum) << count << (within ? " within a file" : "");
        }
      }
    }
  }
}

TEST(HexCodec, RejectsEveryNonDigitAtAnyPosition) {
  std::vector<uint8_t> bytes(40);
  for (int c = 0; c < 256; ++c) {
    if (std::isxdigit(c) != 0) {
      continue;
    }
    for (size_t count : {size_t{3}, size_t{7}, size_t{21}}) {
      const std::string valid = std::string(2 * count, 'a') + "\n:0000000000000000";
      for (size_t position = 0; position < 2 * count; ++position) {
        std::string text = valid;
        text[position] = static_cast<char>(c);
        unsigned sum = 0;
        EXPECT_FALSE(DecodeHex(text.data(), count, bytes.data(), &sum)) << "byte " << c << " at " << position;
        EXPECT_FALSE(DecodeHexWithin(text.data(), count, text.data() + text.size(), bytes.data(), &sum))
            << "byte " << c << " at " << position << " within a file";
      }
    }
  }
}

}  // namespace
