#include "ring_walk.h"

#include <cstring>

namespace {

/* Reads a little-endian 16-bit value; a value the file holds only in part keeps 0 for the rest. */
bool ReadPosition(FILE *input, uint16_t *position) {
  uint8_t bytes[2] = {0, 0};
  size_t got = std::fread(bytes, 1, sizeof bytes, input);
  /* With one byte left, that byte is the low byte and the high byte stays 0. */
  *position = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
  return got == sizeof bytes || !std::ferror(input);
}

}  // namespace

bool ReadRingDump(FILE *input, uint16_t ringSize, RingDump *dump) {
  dump->startPosition = 0;
  dump->endPosition = 0;
  std::memset(dump->ring, 0, sizeof dump->ring);
  if (!ReadPosition(input, &dump->startPosition) || !ReadPosition(input, &dump->endPosition)) {
    return false;
  }
  size_t wanted = ringSize < RING_AREA_CAPACITY ? ringSize : RING_AREA_CAPACITY;
  size_t got = std::fread(dump->ring, 1, wanted, input);
  return got == wanted || !std::ferror(input);
}

WalkResult WalkRingRecords(const RingDump *dump, uint16_t ringSize,
                           uint8_t packetBuffer[PACKET_BUFFER_SIZE], RingRecordHandler handler,
                           void *context) {
  const uint8_t *ring = dump->ring;
  /* The ring is never larger than its buffer, whatever size the caller claims. */
  const uint32_t ringMask = (ringSize > RING_AREA_CAPACITY || ringSize == 0)
                                ? RING_AREA_CAPACITY - 1
                                : static_cast<uint32_t>(ringSize - 1);
  WalkResult result{WALK_END_REACHED, dump->startPosition, 0, 0};
  uint16_t position = dump->startPosition;
  uint32_t advanced = 0;
  for (;;) {
    const uint16_t length = static_cast<uint16_t>(ring[position & ringMask] |
                                                  ring[(position + 1u) & ringMask] << 8);
    if (length < MIN_LENGTH_FIELD || static_cast<uint32_t>(length - MIN_LENGTH_FIELD) > PACKET_BUFFER_SIZE) {
      result.outcome = WALK_MALFORMED_RECORD;
      result.position = position;
      result.lengthField = length;
      return result;
    }
    uint32_t timeOffset = 0;
    for (unsigned index = 0; index < 4; ++index) {
      timeOffset |= static_cast<uint32_t>(ring[(position + 3u + index) & ringMask]) << (8 * index);
    }
    const uint16_t payloadLength = static_cast<uint16_t>(length - MIN_LENGTH_FIELD);
    std::memset(packetBuffer, 0, PACKET_BUFFER_SIZE);
    for (uint32_t index = 0; index < payloadLength; ++index) {
      packetBuffer[index] = ring[(position + RECORD_HEADER_SIZE + index) & ringMask];
    }
    RingRecord record{payloadLength, timeOffset, packetBuffer};
    handler(&record, context);
    result.recordCount++;

    const uint16_t next = static_cast<uint16_t>(position + length + 2u);
    if (next >= dump->endPosition) {
      return result;
    }
    advanced += length + 2u;
    position = next;
    if (advanced >= WALK_ADVANCE_LIMIT) {
      result.outcome = WALK_BOUND_REACHED;
      result.position = position;
      return result;
    }
  }
}
