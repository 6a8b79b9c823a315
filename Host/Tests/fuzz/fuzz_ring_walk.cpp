/*
 * Fuzz target: the ring walk over arbitrary ring bytes, positions and sizes
 * 2 to 16 KiB. It must end, and read only the ring's first ringSize bytes:
 * under AddressSanitizer the rest of the ring buffer is poisoned.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ring_walk.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define RING_FUZZ_POISON 1
#endif
#endif
#if !defined(RING_FUZZ_POISON) && defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define RING_FUZZ_POISON 1
#endif

namespace {

RingDump dump;
uint8_t packetBuffer[PACKET_BUFFER_SIZE];

void CheckRecord(const RingRecord *record, void *context) {
  if (record->payloadLength > PACKET_BUFFER_SIZE || record->packetBuffer != packetBuffer) {
    std::abort();
  }
  auto *sum = static_cast<uint32_t *>(context);
  for (uint16_t index = 0; index < record->payloadLength; ++index) {
    *sum += record->packetBuffer[index];
  }
}

}  // namespace

/* Input: size byte, start and end positions (little-endian), then ring bytes. */
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 5) {
    return 0;
  }
  const uint16_t ringSize = static_cast<uint16_t>((2 + data[0] % 15) * 1024);
  std::memset(&dump, 0, sizeof dump);
  dump.startPosition = static_cast<uint16_t>(data[1] | data[2] << 8);
  dump.endPosition = static_cast<uint16_t>(data[3] | data[4] << 8);
  size_t ringBytes = size - 5 < ringSize ? size - 5 : ringSize;
  std::memcpy(dump.ring, data + 5, ringBytes);
#ifdef RING_FUZZ_POISON
  ASAN_POISON_MEMORY_REGION(dump.ring + ringSize, RING_AREA_CAPACITY - ringSize);
#endif
  uint32_t sum = 0;
  WalkResult result = WalkRingRecords(&dump, ringSize, packetBuffer, CheckRecord, &sum);
#ifdef RING_FUZZ_POISON
  ASAN_UNPOISON_MEMORY_REGION(dump.ring + ringSize, RING_AREA_CAPACITY - ringSize);
#endif
  /* Each record advances at least 7 bytes; the bound stops the walk within 65536 + one record. */
  if (result.recordCount > WALK_ADVANCE_LIMIT / (MIN_LENGTH_FIELD + 2) + 1) {
    std::abort();
  }
  return 0;
}
