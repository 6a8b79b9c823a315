/*
 * Fuzz target: the ELF reader over any bytes behind the ELF magic. It must
 * fail cleanly, leaving the image as it was, or load a sound image that saves
 * back as exactly the bytes it came from.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_image.h"
#include "trellan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string file("\x7F" "ELF");
  file.append(reinterpret_cast<const char *>(data), size);
  TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
  if (TrlFirmwareLoadFromMemory(file.data(), file.size(), 0) == TRL_OK) {
    if (TrlFirmwareGetFileFormat() != TRL_FILE_FORMAT_ELF) {
      std::abort();
    }
    fuzz_image::CheckSegmentsSound();
    if (fuzz_image::SaveImage() != file) {
      std::abort();
    }
  } else if (TrlFirmwareGetSegmentCount() != 0 || TrlFirmwareGetFileFormat() != TRL_FILE_FORMAT_SREC) {
    std::abort();
  }
  TrlFirmwareTerminate();
  return 0;
}
