#include "table_reader.h"

#include <gtest/gtest.h>

#include "trellan.h"

namespace {

uint32_t Little(const std::vector<uint8_t> &bytes, size_t offset, unsigned size) {
  uint32_t value = 0;
  for (unsigned index = size; index-- > 0;) value = value << 8 | bytes[offset + index];
  return value;
}

}  // namespace

ImageSegments LoadImageFile(const std::string &path) {
  ImageSegments image;
  TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
  uint32_t status = TrlFirmwareLoadFromFile(path.c_str(), 0);
  EXPECT_EQ(TRL_OK, status) << path << ": " << TrlStatusText(status);
  for (uint32_t index = 0; index < TrlFirmwareGetSegmentCount(); ++index) {
    uint32_t address = 0;
    uint32_t length = 0;
    const uint8_t *bytes = TrlFirmwareGetSegment(index, &address, &length);
    image.emplace_back(address, std::vector<uint8_t>(bytes, bytes + length));
  }
  TrlFirmwareTerminate();
  return image;
}

std::vector<uint8_t> ImageBytes(const ImageSegments &image, uint32_t address, uint32_t length) {
  for (const auto &segment : image) {
    const uint64_t end = static_cast<uint64_t>(segment.first) + segment.second.size();
    if (segment.first <= address && static_cast<uint64_t>(address) + length <= end) {
      auto first = segment.second.begin() + (address - segment.first);
      return std::vector<uint8_t>(first, first + length);
    }
  }
  return {};
}

ChecksumTable ReadTable(const ImageSegments &image, uint32_t address, uint32_t entryCount) {
  const uint32_t size = 10 + 10 * entryCount;
  std::vector<uint8_t> bytes = ImageBytes(image, address, size);
  ChecksumTable table{};
  EXPECT_EQ(size, bytes.size()) << "no table of " << entryCount << " entries at " << address;
  if (bytes.size() != size) {
    return table;
  }
  table.magic = Little(bytes, 0, 4);
  table.countByte = bytes[4];
  table.reserved = Little(bytes, 5, 3);
  table.listCrc = static_cast<uint16_t>(Little(bytes, 8, 2));
  for (uint32_t index = 0; index < entryCount; ++index) {
    const size_t offset = 10 + 10 * index;
    table.entries.push_back({Little(bytes, offset, 4), Little(bytes, offset + 4, 4),
                             static_cast<uint16_t>(Little(bytes, offset + 8, 2))});
  }
  EXPECT_EQ(TrlUtilCrc16Calculate(bytes.data() + 10, size - 10), table.listCrc);
  return table;
}

std::vector<TableEntry> ExpectedEntries(const ImageSegments &segments) {
  std::vector<TableEntry> entries;
  for (const auto &segment : segments) {
    entries.push_back({segment.first, static_cast<uint32_t>(segment.second.size()),
                       TrlUtilCrc16Calculate(segment.second.data(),
                                             static_cast<uint32_t>(segment.second.size()))});
  }
  return entries;
}
