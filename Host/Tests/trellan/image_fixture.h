/* A fixture that gives each test a freshly initialised library and ways to look at the image. */
#ifndef IMAGE_FIXTURE_H
#define IMAGE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "trellan.h"

using SegmentSnapshot = std::vector<std::pair<uint32_t, std::vector<uint8_t>>>;

/* An image as a plain map from address to byte, turned into segments the way the library must. */
inline SegmentSnapshot ModelSegments(const std::map<uint32_t, uint8_t> &model) {
  SegmentSnapshot snapshot;
  for (const auto &[address, byte] : model) {
    if (snapshot.empty() ||
        static_cast<uint64_t>(snapshot.back().first) + snapshot.back().second.size() != address) {
      snapshot.emplace_back(address, std::vector<uint8_t>{});
    }
    snapshot.back().second.push_back(byte);
  }
  return snapshot;
}

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(TRL_OK, TrlFirmwareInit(TRL_FILE_FORMAT_SREC)); }
  void TearDown() override { TrlFirmwareTerminate(); }

  static uint32_t Load(const std::string &text, uint32_t offset = 0) {
    return TrlFirmwareLoadFromMemory(text.data(), text.size(), offset);
  }

  static SegmentSnapshot Segments() {
    SegmentSnapshot snapshot;
    for (uint32_t index = 0; index < TrlFirmwareGetSegmentCount(); ++index) {
      uint32_t address = 0;
      uint32_t length = 0;
      const uint8_t *bytes = TrlFirmwareGetSegment(index, &address, &length);
      EXPECT_NE(nullptr, bytes);
      EXPECT_NE(0u, length);
      snapshot.emplace_back(address, std::vector<uint8_t>(bytes, bytes + length));
    }
    return snapshot;
  }

  static std::string Saved() {
    size_t length = 0;
    EXPECT_EQ(TRL_ERR_ARGUMENT, TrlFirmwareSaveToMemory(nullptr, 0, &length));
    std::string text(length, '\0');
    EXPECT_EQ(TRL_OK, TrlFirmwareSaveToMemory(text.data(), text.size(), &length));
    return text;
  }
};

#endif
