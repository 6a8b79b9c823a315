/*
 * What the loader fuzz targets check of the image libtrellan holds.
 */
#ifndef FUZZ_IMAGE_H
#define FUZZ_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "trellan.h"

namespace fuzz_image {

using Segments = std::vector<std::pair<uint32_t, std::vector<uint8_t>>>;

/* Aborts unless the segments ascend with gaps between them, are never
 * empty and end at or below 0xFFFFFFFF. */
inline void CheckSegmentsSound() {
  uint64_t previousEnd = 0;
  for (uint32_t index = 0; index < TrlFirmwareGetSegmentCount(); ++index) {
    uint32_t address = 0;
    uint32_t length = 0;
    const uint8_t *bytes = TrlFirmwareGetSegment(index, &address, &length);
    if (bytes == nullptr || length == 0 || (index > 0 && address <= previousEnd)) {
      std::abort();
    }
    previousEnd = static_cast<uint64_t>(address) + length;
    if (previousEnd > 0x100000000ull) {
      std::abort();
    }
    TrlUtilCrc16Calculate(bytes, length);
  }
}

inline Segments CopySegments() {
  Segments segments;
  for (uint32_t index = 0; index < TrlFirmwareGetSegmentCount(); ++index) {
    uint32_t address = 0;
    uint32_t length = 0;
    const uint8_t *bytes = TrlFirmwareGetSegment(index, &address, &length);
    segments.emplace_back(address, std::vector<uint8_t>(bytes, bytes + length));
  }
  return segments;
}

/* The held image saved to memory in its format; aborts if the save fails. */
inline std::string SaveImage() {
  size_t length = 0;
  TrlFirmwareSaveToMemory(nullptr, 0, &length);
  std::string text(length, '\0');
  if (TrlFirmwareSaveToMemory(&text[0], text.size(), &length) != TRL_OK) {
    std::abort();
  }
  return text;
}

}  // namespace fuzz_image

#endif
