/*
 * Fuzz target: whatever loads (either format), saved as Intel HEX and loaded
 * again, gives identical segments and start address, and saves to the same
 * text again.
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
  uint32_t hasStartAddress;
  uint32_t startAddress;
  bool operator==(const ImageView &other) const {
    return segments == other.segments && hasStartAddress == other.hasStartAddress &&
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
  view.hasStartAddress = TrlFirmwareGetStartAddress(&view.startAddress);
  return view;
}

std::string SaveImage() {
  size_t length = 0;
  TrlFirmwareSaveToMemory(nullptr, 0, &length);
  std::string text(length, '\0');
  if (TrlFirmwareSaveToMemory(&text[0], text.size(), &length) != TRL_OK) {
    std::abort();
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  TrlFirmwareInit(TRL_FILE_FORMAT_IHEX);
  if (TrlFirmwareLoadFromMemory(data, size, 0) == TRL_OK) {
    TrlFirmwareSetFileFormat(TRL_FILE_FORMAT_IHEX);
    const ImageView loaded = ViewImage();
    const std::string text = SaveImage();
    TrlFirmwareClearData();
    if (TrlFirmwareLoadFromMemory(text.data(), text.size(), 0) != TRL_OK ||
        TrlFirmwareGetFileFormat() != TRL_FILE_FORMAT_IHEX || !(ViewImage() == loaded) ||
        SaveImage() != text) {
      std::abort();
    }
  }
  TrlFirmwareTerminate();
  return 0;
}
