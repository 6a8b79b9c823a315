/*
 * Fuzz target: whatever loads (either format), saved as Intel HEX and loaded
 * again, gives identical segments and start address, and saves to the same
 * text again.
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
  uint32_t hasStartAddress;
  uint32_t startAddress;
  bool operator==(const ImageView &other) const {
    return segments == other.segments && hasStartAddress == other.hasStartAddress &&
           startAddress == other.startAddress;
  }
};

ImageView ViewImage() {
  ImageView view{};
  view.segments = fuzz_image::CopySegments();
  view.hasStartAddress = TrlFirmwareGetStartAddress(&view.startAddress);
  return view;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  TrlFirmwareInit(TRL_FILE_FORMAT_IHEX);
  if (TrlFirmwareLoadFromMemory(data, size, 0) == TRL_OK) {
    TrlFirmwareSetFileFormat(TRL_FILE_FORMAT_IHEX);
    const ImageView loaded = ViewImage();
    const std::string text = fuzz_image::SaveImage();
    TrlFirmwareClearData();
    if (TrlFirmwareLoadFromMemory(text.data(), text.size(), 0) != TRL_OK ||
        TrlFirmwareGetFileFormat() != TRL_FILE_FORMAT_IHEX || !(ViewImage() == loaded) ||
        fuzz_image::SaveImage() != text) {
      std::abort();
    }
  }
  TrlFirmwareTerminate();
  return 0;
}
