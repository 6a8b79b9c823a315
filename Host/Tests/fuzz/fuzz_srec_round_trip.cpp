/*
 * Fuzz target: whatever loads, saved and loaded again, gives identical
 * segments, header and start address, and saves to the same text again.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_image.h"
#include "trellan.h"

namespace {

struct ImageView {
  fuzz_image::Segments segments;
  std::vector<uint8_t> header; /* empty when none was given: that is what a save writes */
  uint32_t startAddress;       /* 0 when none was given, likewise */
  bool operator==(const ImageView &other) const {
    return segments == other.segments && header == other.header &&
           startAddress == other.startAddress;
  }
};

ImageView ViewImage() {
  ImageView view{};
  view.segments = fuzz_image::CopySegments();
  uint32_t headerLength = 0;
  const uint8_t *header = TrlFirmwareGetHeader(&headerLength);
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
    const std::string text = fuzz_image::SaveImage();
    TrlFirmwareClearData();
    if (TrlFirmwareLoadFromMemory(text.data(), text.size(), 0) != TRL_OK || !(ViewImage() == loaded) ||
        fuzz_image::SaveImage() != text) {
      std::abort();
    }
  }
  TrlFirmwareTerminate();
  return 0;
}
