/*
 * Fuzz target: whatever loads, saved and loaded again, gives identical
 * segments, header and start address.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "trellan.h"

namespace {

struct ImageView {
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> segments;
  std::vector<uint8_t> header;
  bool hasHeader;
  uint32_t startAddress; /* 0 when none was given: that is what a save writes */
  bool operator==(const ImageView &other) const {
    return segments == other.segments && header == other.header && hasHeader == other.hasHeader &&
           startAddress == other.startAddress;
  }
};

ImageView ViewImage() {
  ImageView view{};
  for (uint32_t index = 0; index < TrlFirmwareGetSegmentCount(); ++index) {
    uint32_t address = 0;
    uint32_t length = 0;
    const uint8_t *bytes = TrlFirmwareGetSegment(index, &address, &length);
    view.segments.emplace_back(address, std::vector<uint8_t>(bytes, bytes + length));
  }
  uint32_t headerLength = 0;
  const uint8_t *header = TrlFirmwareGetHeader(&headerLength);
  view.hasHeader = header != nullptr;
  if (header != nullptr) {
    view.header.assign(header, header + headerLength);
  }
  TrlFirmwareGetStartAddress(&view.startAddress);
  return view;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
  if (TrlFirmwareLoadFromMemory(data, size, 0) == TRL_OK) {
    const ImageView loaded = ViewImage();
    size_t length = 0;
    TrlFirmwareSaveToMemory(nullptr, 0, &length);
    std::string text(length, '\0');
    if (TrlFirmwareSaveToMemory(&text[0], text.size(), &length) != TRL_OK) {
      std::abort();
    }
    TrlFirmwareClearData();
    if (TrlFirmwareLoadFromMemory(text.data(), text.size(), 0) != TRL_OK || !(ViewImage() == loaded)) {
      std::abort();
    }
  }
  TrlFirmwareTerminate();
  return 0;
}
