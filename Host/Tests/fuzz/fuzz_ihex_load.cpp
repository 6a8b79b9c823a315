/*
 * Fuzz target: the text loader over any bytes, as a file whose first record
 * is Intel HEX. It must fail cleanly or load a sound image, and the image
 * must then save as Intel HEX.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_image.h"
#include "trellan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  /* A colon first, so that most inputs reach the Intel HEX reader. */
  std::string text(":");
  text.append(reinterpret_cast<const char *>(data), size);
  TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
  if (TrlFirmwareLoadFromMemory(text.data(), text.size(), 0) == TRL_OK) {
    if (TrlFirmwareGetFileFormat() != TRL_FILE_FORMAT_IHEX) {
      std::abort();
    }
    fuzz_image::CheckSegmentsSound();
  } else if (TrlFirmwareGetSegmentCount() != 0 || TrlFirmwareGetFileFormat() != TRL_FILE_FORMAT_SREC) {
    std::abort(); /* a failed load must leave the image, and its format, as they were */
  }
  TrlFirmwareTerminate();
  return 0;
}
