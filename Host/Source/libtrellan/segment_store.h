/* Segment storage behind the firmware image: sorted, disjoint, non-adjacent runs of bytes. */
#ifndef TRELLAN_SEGMENT_STORE_H
#define TRELLAN_SEGMENT_STORE_H

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

struct Segment {
  uint32_t address;
  uint32_t length;  /* never 0 */
  size_t capacity;  /* bytes usable from bytes on */
  uint8_t *bytes;   /* the data: points into block, or into one of the store's arenas */
  uint8_t *block;   /* malloc'ed, so that growth can use realloc; cutting a head only moves bytes.
                       Null when the bytes lie in one of the store's arenas (where a load puts
                       small segments and a merge may leave others): growing moves them out. */
};

/* From this size on a block is worth huge pages, and worth sizing once rather than doubling. */
constexpr size_t LARGE_BLOCK = size_t{1} << 20;

/* Up to this length a loaded segment shares an arena with others rather than having a block. */
constexpr size_t SMALL_SEGMENT = size_t{64} << 10;

/* The highest address plus one; data may end exactly there. */
constexpr uint64_t ADDRESS_SPACE_END = 0x100000000ull;

/*
 * realloc() that asks the system to back large blocks with huge pages. Returns
 * null on failure, leaving block as it was.
 */
void *ResizeBlock(void *block, size_t size);

/*
 * Grows an array of items to hold needed of them, doubling so that appends
 * stay cheap; a large array that may need room more items gets them at once.
 */
template <typename Item>
inline bool GrowArray(Item **items, size_t *capacity, size_t needed, size_t room) {
  if (needed <= *capacity) {
    return true;
  }
  size_t grown = std::max(needed, std::max<size_t>(*capacity * 2, 4096 / sizeof(Item)));
  if (room != 0 && grown >= LARGE_BLOCK / sizeof(Item)) {
    grown = std::max(grown, needed + room);
  }
  if (grown > SIZE_MAX / sizeof(Item)) {
    return false;
  }
  auto *resized = static_cast<Item *>(ResizeBlock(*items, grown * sizeof(Item)));
  if (resized == nullptr) {
    return false;
  }
  *items = resized;
  *capacity = grown;
  return true;
}

/* Allocates through ResizeBlock(), so that long segment lists get huge pages too. */
template <typename Item>
struct BlockAllocator {
  using value_type = Item;
  BlockAllocator() = default;
  template <typename Other>
  BlockAllocator(const BlockAllocator<Other> &) {}
  Item *allocate(size_t count) {
    void *items = count <= SIZE_MAX / sizeof(Item) ? ResizeBlock(nullptr, count * sizeof(Item)) : nullptr;
    if (items == nullptr) {
      throw std::bad_alloc();
    }
    return static_cast<Item *>(items);
  }
  void deallocate(Item *items, size_t) { std::free(items); }
  template <typename Other>
  bool operator==(const BlockAllocator<Other> &) const { return true; }
  template <typename Other>
  bool operator!=(const BlockAllocator<Other> &) const { return false; }
};

using SegmentList = std::vector<Segment, BlockAllocator<Segment>>;

struct SegmentStore {
  SegmentList segments;          /* ascending by address, with gaps between them */
  size_t lastWritten;            /* index touched by the last write: edits mostly append there */
  std::vector<uint8_t *> arenas; /* malloc'ed blocks that segments share; small ones fill the last */
  size_t arenaUsed;              /* bytes of the last arena given out */
  size_t arenaCapacity;          /* its size */
};

/*
 * Takes length bytes (at most SMALL_SEGMENT) from the store's last arena, or
 * from a new one sized for room more (see SegmentReserve()). Null when out of memory.
 */
uint8_t *StoreTakeArenaBytes(SegmentStore *store, size_t length, size_t room);

/*
 * Gives the store arenas that its segments now use (after a merge); the vector
 * is emptied. Cannot fail once StoreMakeRoomForArenas() made room for them.
 */
bool StoreMakeRoomForArenas(SegmentStore *store, size_t count);
void StoreAdoptArenas(SegmentStore *store, std::vector<uint8_t *> *arenas);

/*
 * Makes room for needed bytes from segment->bytes on; false (segment
 * unchanged) when out of memory. room is how much the segment may grow by
 * later, if known (0: unknown): a large segment then gets it at once instead
 * of moving each time it doubles.
 */
bool SegmentReserve(Segment *segment, uint64_t needed, size_t room = 0);

/*
 * Writes length bytes at address; they replace held bytes where they overlap
 * (the caller has checked that the range stays below ADDRESS_SPACE_END and
 * that length is not 0). Returns a trellan status.
 */
uint32_t StoreWrite(SegmentStore *store, uint32_t address, const uint8_t *data, uint32_t length);

/*
 * Adds length bytes at address, which must not lie below the end of the last
 * segment, and returns where they go: the caller copies them there. Returns
 * null when out of memory. room: as for SegmentReserve(). A segment left
 * behind by a gap gives back its spare room.
 */
uint8_t *StoreAppend(SegmentStore *store, uint32_t address, uint32_t length, size_t room);

/* Removes [address, address + length) (length > 0, range below ADDRESS_SPACE_END). */
uint32_t StoreRemove(SegmentStore *store, uint32_t address, uint32_t length);

/* Gives the spare capacity of one segment, or of each, back to the allocator. */
void SegmentShrink(Segment *segment);
void StoreShrink(SegmentStore *store);

void StoreClear(SegmentStore *store);

inline uint64_t SegmentEnd(const Segment &segment) {
  return static_cast<uint64_t>(segment.address) + segment.length;
}

#endif
