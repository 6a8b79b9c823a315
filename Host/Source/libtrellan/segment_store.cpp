#include "segment_store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "trellan.h"

#ifdef __linux__
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

#ifdef __linux__
constexpr size_t HUGE_PAGE_SIZE = size_t{2} << 20;
#endif

/* Takes back the room in front of the data that a cut head left. */
void ReclaimFront(Segment *segment) {
  if (segment->block != nullptr && segment->bytes != segment->block) {
    const size_t front = static_cast<size_t>(segment->bytes - segment->block);
    std::memmove(segment->block, segment->bytes, segment->length);
    segment->bytes = segment->block;
    segment->capacity += front;
  }
}

/* First segment that ends at or after address (so it overlaps or touches a range starting there). */
size_t FindFirstReaching(const SegmentStore *store, uint64_t address) {
  auto first = std::lower_bound(
      store->segments.begin(), store->segments.end(), address,
      [](const Segment &segment, uint64_t value) { return SegmentEnd(segment) < value; });
  return static_cast<size_t>(first - store->segments.begin());
}

/* First segment that starts at or after address. */
size_t FindFirstFrom(const SegmentStore *store, uint64_t address) {
  auto first = std::lower_bound(
      store->segments.begin(), store->segments.end(), address,
      [](const Segment &segment, uint64_t value) { return segment.address < value; });
  return static_cast<size_t>(first - store->segments.begin());
}

bool InsertSegment(SegmentStore *store, size_t index, uint32_t address, const uint8_t *data,
                   uint32_t length) {
  Segment segment{address, 0, 0, nullptr, nullptr};
  if (!SegmentReserve(&segment, length)) {
    return false;
  }
  std::memcpy(segment.bytes, data, length);
  segment.length = length;
  try {
    store->segments.insert(store->segments.begin() + static_cast<std::ptrdiff_t>(index), segment);
  } catch (const std::bad_alloc &) {
    std::free(segment.block);
    return false;
  }
  return true;
}

/* Drops the first cut bytes without moving the rest. */
void CutHead(Segment *segment, uint32_t cut) {
  segment->bytes += cut;
  segment->capacity -= cut;
  segment->length -= cut;
  segment->address += cut;
}

}  // namespace

void *ResizeBlock(void *block, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  /*
   * Every fresh 4 KiB page costs a fault, and so does every moved one when it
   * is next touched: on a large image that was most of a load. A large block
   * therefore starts at a huge page boundary with huge pages advised, and
   * grows by copying, which costs less than touching moved pages again.
   */
  if (size >= LARGE_BLOCK) {
    void *resized = nullptr;
    if (posix_memalign(&resized, HUGE_PAGE_SIZE, size) != 0) {
      return nullptr;
    }
    static const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    madvise(resized, (size + pageSize - 1) & ~(pageSize - 1), MADV_HUGEPAGE);
    if (block != nullptr) {
      std::memcpy(resized, block, std::min(malloc_usable_size(block), size));
      std::free(block);
    }
    return resized;
  }
#endif
  return std::realloc(block, size);
}

bool SegmentReserve(Segment *segment, uint64_t needed, size_t room) {
  if (needed > UINT32_MAX) {
    return false;
  }
  if (needed <= segment->capacity) {
    return true;
  }
  ReclaimFront(segment);
  if (needed <= segment->capacity) {
    return true;
  }
  /*
   * Geometric growth keeps appends cheap; a new block gets just what it needs.
   * Moving a large block costs a fault per page afterwards, so once the room
   * it may need is known it gets all of it.
   */
  uint64_t grown = segment->length == 0 ? needed : std::max<uint64_t>(needed, segment->capacity * 2);
  if (room != 0 && grown >= LARGE_BLOCK) {
    grown = std::max<uint64_t>(grown, needed + room);
  }
  grown = std::min<uint64_t>(grown, UINT32_MAX);
  uint8_t *block = nullptr;
  if (segment->block != nullptr) {
    block = static_cast<uint8_t *>(ResizeBlock(segment->block, static_cast<size_t>(grown)));
  } else {
    /* New, or moving out of an arena. */
    block = static_cast<uint8_t *>(ResizeBlock(nullptr, static_cast<size_t>(grown)));
    if (block != nullptr && segment->length != 0) {
      std::memcpy(block, segment->bytes, segment->length);
    }
  }
  if (block == nullptr) {
    return false;
  }
  segment->block = block;
  segment->bytes = block;
  segment->capacity = static_cast<size_t>(grown);
  return true;
}

uint8_t *StoreTakeArenaBytes(SegmentStore *store, size_t length, size_t room) {
  if (store->arenas.empty() || store->arenaCapacity - store->arenaUsed < length) {
    const size_t capacity = std::max({SMALL_SEGMENT, room + length,
                                      store->arenas.empty() ? 0 : 2 * store->arenaCapacity});
    try {
      store->arenas.reserve(store->arenas.size() + 1);
    } catch (const std::bad_alloc &) {
      return nullptr;
    }
    auto *arena = static_cast<uint8_t *>(ResizeBlock(nullptr, capacity));
    if (arena == nullptr) {
      return nullptr;
    }
    store->arenas.push_back(arena);
    store->arenaUsed = 0;
    store->arenaCapacity = capacity;
  }
  store->arenaUsed += length;
  return store->arenas.back() + store->arenaUsed - length;
}

uint32_t StoreWrite(SegmentStore *store, uint32_t address, const uint8_t *data, uint32_t length) {
  SegmentList &segments = store->segments;
  const uint64_t end = static_cast<uint64_t>(address) + length;

  /* Edits mostly follow each other: extend the segment written last. */
  size_t hint = store->lastWritten;
  if (hint < segments.size() && SegmentEnd(segments[hint]) == address &&
      (hint + 1 == segments.size() || segments[hint + 1].address > end)) {
    Segment &segment = segments[hint];
    if (!SegmentReserve(&segment, static_cast<uint64_t>(segment.length) + length)) {
      return TRL_ERR_MEMORY;
    }
    std::memcpy(segment.bytes + segment.length, data, length);
    segment.length += length;
    return TRL_OK;
  }

  const size_t first = FindFirstReaching(store, address);
  const size_t last = FindFirstFrom(store, end + 1);
  if (first == last) {
    if (!InsertSegment(store, first, address, data, length)) {
      return TRL_ERR_MEMORY;
    }
    store->lastWritten = first;
    return TRL_OK;
  }

  /* The new range joins segments first .. last-1 into one: grow the first to hold them all. */
  Segment &target = segments[first];
  const uint64_t newStart = std::min<uint64_t>(target.address, address);
  const uint64_t newEnd = std::max(SegmentEnd(segments[last - 1]), end);
  if (!SegmentReserve(&target, newEnd - newStart)) {
    return TRL_ERR_MEMORY;
  }
  const uint64_t shift = target.address - newStart;
  if (shift != 0) {
    std::memmove(target.bytes + shift, target.bytes, target.length);
  }
  for (size_t index = first + 1; index < last; ++index) {
    const Segment &joined = segments[index];
    std::memcpy(target.bytes + (joined.address - newStart), joined.bytes, joined.length);
    std::free(joined.block);
  }
  std::memcpy(target.bytes + (address - newStart), data, length);
  target.address = static_cast<uint32_t>(newStart);
  target.length = static_cast<uint32_t>(newEnd - newStart);
  segments.erase(segments.begin() + static_cast<std::ptrdiff_t>(first + 1),
                 segments.begin() + static_cast<std::ptrdiff_t>(last));
  store->lastWritten = first;
  return TRL_OK;
}

bool StoreMakeRoomForArenas(SegmentStore *store, size_t count) {
  try {
    store->arenas.reserve(store->arenas.size() + count);
  } catch (const std::bad_alloc &) {
    return false;
  }
  return true;
}

void StoreAdoptArenas(SegmentStore *store, std::vector<uint8_t *> *arenas) {
  if (store->arenas.empty()) {
    store->arenaUsed = 0;
    store->arenaCapacity = 0;
  }
  store->arenas.insert(store->arenas.begin(), arenas->begin(), arenas->end());
  arenas->clear();
}

uint8_t *StoreAppend(SegmentStore *store, uint32_t address, uint32_t length, size_t room) {
  SegmentList &segments = store->segments;
  if (!segments.empty() && SegmentEnd(segments.back()) == address) {
    Segment &last = segments.back();
    const uint64_t needed = static_cast<uint64_t>(last.length) + length;
    /* A small segment that ends its arena grows there; any other grows in a block of its own. */
    const bool growsInArena = last.block == nullptr && needed <= SMALL_SEGMENT &&
                              last.bytes + last.length == store->arenas.back() + store->arenaUsed &&
                              store->arenaCapacity - store->arenaUsed >= length;
    if (growsInArena) {
      store->arenaUsed += length;
      last.capacity = static_cast<size_t>(needed);
    } else if (!SegmentReserve(&last, needed, room)) {
      return nullptr;
    }
    last.length += length;
    return last.bytes + last.length - length;
  }
  Segment segment{address, 0, 0, nullptr, nullptr};
  if (length <= SMALL_SEGMENT) {
    segment.bytes = StoreTakeArenaBytes(store, length, room);
    segment.capacity = length;
    if (segment.bytes == nullptr) {
      return nullptr;
    }
  } else if (!SegmentReserve(&segment, length, room)) {
    return nullptr;
  }
  segment.length = length;
  try {
    segments.push_back(segment);
  } catch (const std::bad_alloc &) {
    std::free(segment.block);
    return nullptr;
  }
  if (segments.size() > 1) {
    SegmentShrink(&segments[segments.size() - 2]);
  }
  return segment.bytes;
}

uint32_t StoreRemove(SegmentStore *store, uint32_t address, uint32_t length) {
  SegmentList &segments = store->segments;
  const uint64_t end = static_cast<uint64_t>(address) + length;
  /* Segments first .. last-1 hold bytes of the range; one that merely ends at address does not. */
  const size_t first = FindFirstReaching(store, static_cast<uint64_t>(address) + 1);
  const size_t last = FindFirstFrom(store, end);
  store->lastWritten = 0;
  if (first == last) {
    return TRL_OK;
  }
  Segment &head = segments[first];
  const uint64_t tailEnd = SegmentEnd(segments[last - 1]);
  const bool keepsHead = head.address < address;
  const bool keepsTail = tailEnd > end;
  if (first + 1 == last && keepsHead && keepsTail) {
    /* A hole inside one segment: copy the smaller side out; the larger one stays where it is. */
    const uint32_t headLength = address - head.address;
    const uint32_t tailOffset = static_cast<uint32_t>(end - head.address);
    const uint32_t tailLength = static_cast<uint32_t>(tailEnd - end);
    if (tailLength <= headLength) {
      if (!InsertSegment(store, first + 1, static_cast<uint32_t>(end), head.bytes + tailOffset,
                         tailLength)) {
        return TRL_ERR_MEMORY;
      }
      segments[first].length = headLength;
    } else {
      if (!InsertSegment(store, first, head.address, head.bytes, headLength)) {
        return TRL_ERR_MEMORY;
      }
      CutHead(&segments[first + 1], tailOffset);
    }
    return TRL_OK;
  }
  if (keepsHead) {
    head.length = address - head.address;
  }
  if (keepsTail) {
    Segment &tail = segments[last - 1];
    CutHead(&tail, static_cast<uint32_t>(end - tail.address));
  }
  const size_t eraseFrom = first + (keepsHead ? 1 : 0);
  const size_t eraseTo = last - (keepsTail ? 1 : 0);
  for (size_t index = eraseFrom; index < eraseTo; ++index) {
    std::free(segments[index].block);
  }
  segments.erase(segments.begin() + static_cast<std::ptrdiff_t>(eraseFrom),
                 segments.begin() + static_cast<std::ptrdiff_t>(eraseTo));
  return TRL_OK;
}

void SegmentShrink(Segment *segment) {
  ReclaimFront(segment);
  if (segment->block != nullptr && segment->capacity > segment->length) {
    auto *block = static_cast<uint8_t *>(std::realloc(segment->block, segment->length));
    if (block != nullptr) {
      segment->block = block;
      segment->bytes = block;
      segment->capacity = segment->length;
    }
  }
}

void StoreShrink(SegmentStore *store) {
  for (Segment &segment : store->segments) {
    SegmentShrink(&segment);
  }
}

void StoreClear(SegmentStore *store) {
  for (Segment &segment : store->segments) {
    std::free(segment.block);
  }
  store->segments.clear();
  store->segments.shrink_to_fit();
  store->lastWritten = 0;
  for (uint8_t *arena : store->arenas) {
    std::free(arena);
  }
  store->arenas.clear();
  store->arenas.shrink_to_fit();
  store->arenaUsed = 0;
  store->arenaCapacity = 0;
}
