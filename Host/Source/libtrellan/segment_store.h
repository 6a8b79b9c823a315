/* Segment storage behind the firmware image: sorted, disjoint, non-adjacent runs of bytes. */
#ifndef TRELLAN_SEGMENT_STORE_H
#define TRELLAN_SEGMENT_STORE_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct Segment {
  uint32_t address;
  uint32_t length;  /* never 0 */
  size_t capacity;  /* bytes usable from bytes on */
  uint8_t *bytes;   /* the data: points into block */
  uint8_t *block;   /* malloc'ed, so that growth can use realloc; cutting a head only moves bytes */
};

struct SegmentStore {
  std::vector<Segment> segments; /* ascending by address, with gaps between them */
  size_t lastWritten;            /* index touched by the last write: loads mostly append there */
};

/* The highest address plus one; data may end exactly there. */
constexpr uint64_t ADDRESS_SPACE_END = 0x100000000ull;

enum OverlapRule {
  OVERLAP_NEW_WINS,     /* editing: new bytes replace held ones */
  OVERLAP_MUST_AGREE    /* loading: a different value for a held address is a conflict */
};

/*
 * Writes length bytes at address (the caller has checked that the range
 * stays below ADDRESS_SPACE_END and that length is not 0). Returns a trellan
 * status; on TRL_ERR_CONFLICT the store is unchanged.
 */
uint32_t StoreWrite(SegmentStore *store, uint32_t address, const uint8_t *data, uint32_t length,
                    OverlapRule rule);

/* Returns TRL_ERR_CONFLICT if any byte held by both stores differs, else TRL_OK. */
uint32_t StoreFindConflict(const SegmentStore *store, const SegmentStore *other);

/* Removes [address, address + length) (length > 0, range below ADDRESS_SPACE_END). */
uint32_t StoreRemove(SegmentStore *store, uint32_t address, uint32_t length);

/* Gives each segment's spare capacity back to the allocator. */
void StoreShrink(SegmentStore *store);

void StoreClear(SegmentStore *store);

inline uint64_t SegmentEnd(const Segment &segment) {
  return static_cast<uint64_t>(segment.address) + segment.length;
}

#endif
