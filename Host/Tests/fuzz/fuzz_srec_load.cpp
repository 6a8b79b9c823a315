/* Fuzz target: the S-record loader over any bytes. It must fail cleanly or load a sound image. */
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_image.h"
#include "trellan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
  if (TrlFirmwareLoadFromMemory(data, size, 0) == TRL_OK) {
    fuzz_image::CheckSegmentsSound();
  } else if (TrlFirmwareGetSegmentCount() != 0) {
    std::abort(); /* a failed load must leave the (empty) image as it was */
  }
  TrlFirmwareTerminate();
  return 0;
}
