/* Builds ring dump contents for the tests: records placed at positions of a ring of a given size. */
#ifndef RING_DUMP_BUILDER_H
#define RING_DUMP_BUILDER_H

#include <algorithm>
#include <cstdint>
#include <vector>

struct RingDumpBuilder {
  explicit RingDumpBuilder(uint32_t ringBytes) : ring(ringBytes, 0) {}

  /* Writes the record bytes from position on, wrapping like the walk; returns the next position. */
  uint16_t PutRecord(uint16_t position, const std::vector<uint8_t> &payload, uint32_t timeOffset,
                     uint8_t skippedByte = 0) {
    const uint16_t length = static_cast<uint16_t>(payload.size() + 5);
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                                  skippedByte};
    for (int index = 0; index < 4; ++index) bytes.push_back(static_cast<uint8_t>(timeOffset >> (8 * index)));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    PutBytes(position, bytes);
    return static_cast<uint16_t>(position + length + 2);
  }

  /* Writes a bare length field, for malformed records. */
  void PutLengthField(uint16_t position, uint16_t length) {
    PutBytes(position, {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)});
  }

  void PutBytes(uint16_t position, const std::vector<uint8_t> &bytes) {
    const uint32_t mask = static_cast<uint32_t>(ring.size() - 1);
    for (size_t index = 0; index < bytes.size(); ++index) {
      ring[(position + index) & 0xFFFF & mask] = bytes[index];
    }
  }

  /* The whole .prb file: both positions, then the ring area. */
  std::vector<uint8_t> File(uint16_t startPosition, uint16_t endPosition) const {
    std::vector<uint8_t> file(4 + ring.size());
    file[0] = static_cast<uint8_t>(startPosition);
    file[1] = static_cast<uint8_t>(startPosition >> 8);
    file[2] = static_cast<uint8_t>(endPosition);
    file[3] = static_cast<uint8_t>(endPosition >> 8);
    std::copy(ring.begin(), ring.end(), file.begin() + 4);
    return file;
  }

  std::vector<uint8_t> ring;
};

/* count bytes counting up from first. */
inline std::vector<uint8_t> Pattern(size_t count, uint8_t first = 0) {
  std::vector<uint8_t> bytes(count);
  for (size_t index = 0; index < count; ++index) bytes[index] = static_cast<uint8_t>(first + index);
  return bytes;
}

#endif
