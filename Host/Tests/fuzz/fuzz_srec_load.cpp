/* Fuzz target: the S-record loader over any bytes. It must fail cleanly or load a sound image. */
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "trellan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
  if (TrlFirmwareLoadFromMemory(data, size, 0) == TRL_OK) {
    uint64_t previousEnd = 0;
    for (uint32_t index = 0; index < TrlFirmwareGetSegmentCount(); ++index) {
      uint32_t address = 0;
      uint32_t length = 0;
      const uint8_t *bytes = TrlFirmwareGetSegment(index, &address, &length);
      /* Segments ascend with gaps between them and are never empty. */
      if (bytes == nullptr || length == 0 || (index > 0 && address <= previousEnd)) {
        std::abort();
      }
      previousEnd = static_cast<uint64_t>(address) + length;
      if (previousEnd > 0x100000000ull) {
        std::abort();
      }
      TrlUtilCrc16Calculate(bytes, length);
    }
  } else if (TrlFirmwareGetSegmentCount() != 0) {
    std::abort(); /* a failed load must leave the (empty) image as it was */
  }
  TrlFirmwareTerminate();
  return 0;
}
