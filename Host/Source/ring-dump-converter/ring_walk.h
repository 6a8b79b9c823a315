/* The ring dump file and the walk over its length-prefixed, millisecond-stamped records. */
#ifndef TERVOX_RING_WALK_H
#define TERVOX_RING_WALK_H

#include <cstdint>
#include <cstdio>

constexpr uint32_t RING_AREA_CAPACITY = 16384;
constexpr uint32_t PACKET_BUFFER_SIZE = 1500;
/* Length field, one uninterpreted byte and the 32-bit time offset precede the payload. */
constexpr uint16_t RECORD_HEADER_SIZE = 7;
/* The length field counts the bytes after itself: the skipped byte, the time offset, the payload. */
constexpr uint16_t MIN_LENGTH_FIELD = 5;
/* A walk that advances this far without meeting the end position would circle the positions forever. */
constexpr uint32_t WALK_ADVANCE_LIMIT = 65536;

/* What the walk delivers for one record; packetBuffer holds the payload from its first byte. */
struct RingRecord {
  uint16_t payloadLength;
  uint32_t timeOffset; /* milliseconds after the base time */
  const uint8_t *packetBuffer;
};

typedef void (*RingRecordHandler)(const RingRecord *record, void *context);

enum WalkOutcome {
  WALK_END_REACHED,      /* the next position was not below the end position */
  WALK_MALFORMED_RECORD, /* length field below 5 or payload over PACKET_BUFFER_SIZE */
  WALK_BOUND_REACHED     /* advanced by WALK_ADVANCE_LIMIT bytes without reaching the end */
};

struct WalkResult {
  WalkOutcome outcome;
  uint16_t position;    /* of the malformed record, or where the bound stopped the walk */
  uint16_t lengthField; /* of the malformed record */
  uint32_t recordCount; /* records handed to the handler */
};

/*
 * The dump as read from the file: both positions and the ring area in the
 * first ringSize bytes of ring, the rest zero.
 */
struct RingDump {
  uint16_t startPosition;
  uint16_t endPosition;
  uint8_t ring[RING_AREA_CAPACITY];
};

/*
 * Reads the two positions and ringSize ring bytes (at most RING_AREA_CAPACITY).
 * Bytes the file does not hold read as zero. Returns false on a read error.
 */
bool ReadRingDump(FILE *input, uint16_t ringSize, RingDump *dump);

/*
 * Walks the records from dump->startPosition, handing each to handler before
 * moving on, until the next position is not below dump->endPosition. Reads
 * only ring bytes below ringSize (ring positions are masked with ringSize - 1)
 * and writes only packetBuffer.
 */
WalkResult WalkRingRecords(const RingDump *dump, uint16_t ringSize,
                           uint8_t packetBuffer[PACKET_BUFFER_SIZE], RingRecordHandler handler,
                           void *context);

#endif
