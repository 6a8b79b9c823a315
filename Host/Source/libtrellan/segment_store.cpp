#include "segment_store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "trellan.h"

namespace {

/* Takes back the room in front of the data that a cut head left. */
void ReclaimFront(Segment *segment) {
  if (segment->bytes != segment->block) {
    const size_t front = static_cast<size_t>(segment->bytes - segment->block);
    std::memmove(segment->block, segment->bytes, segment->length);
    segment->bytes = segment->block;
    segment->capacity += front;
  }
}

/* Makes room for at least needed bytes, growing geometrically so that appends stay cheap. */
bool ReserveBytes(Segment *segment, uint64_t needed) {
  if (needed > UINT32_MAX) {
    return false;
  }
  if (needed <= segment->capacity && segment->block != nullptr) {
    return true;
  }
  if (segment->block != nullptr) {
    ReclaimFront(segment);
    if (needed <= segment->capacity) {
      return true;
    }
  }
  uint64_t grown = std::max<uint64_t>(needed, std::max<uint64_t>(segment->capacity * 2, 64));
  grown = std::min<uint64_t>(grown, UINT32_MAX);
  auto *block = static_cast<uint8_t *>(std::realloc(segment->block, static_cast<size_t>(grown)));
  if (block == nullptr) {
    return false;
  }
  segment->block = block;
  segment->bytes = block;
  segment->capacity = static_cast<size_t>(grown);
  return true;
}

/* First segment that ends at or after address (so it overlaps or touches a range starting there). */
size_t FindFirstReaching(const SegmentStore *store, uint64_t address) {
  auto first = std::lower_bound(
      store->segments.begin(), store->segments.end(), address,
      [](const Segment &segment, uint64_t value) { return SegmentEnd(segment) < value; });
  return static_cast<size_t>(first - store->segments.begin());
}

bool RangesDisagree(const Segment &segment, uint64_t address, const uint8_t *data, uint64_t end) {
  uint64_t from = std::max<uint64_t>(segment.address, address);
  uint64_t to = std::min(SegmentEnd(segment), end);
  if (from >= to) {
    return false;
  }
  return std::memcmp(segment.bytes + (from - segment.address), data + (from - address),
                     static_cast<size_t>(to - from)) != 0;
}

bool InsertSegment(SegmentStore *store, size_t index, uint32_t address, const uint8_t *data,
                   uint32_t length) {
  Segment segment{address, 0, 0, nullptr, nullptr};
  if (!ReserveBytes(&segment, length)) {
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

uint32_t StoreWrite(SegmentStore *store, uint32_t address, const uint8_t *data, uint32_t length,
                    OverlapRule rule) {
  std::vector<Segment> &segments = store->segments;
  const uint64_t end = static_cast<uint64_t>(address) + length;

  /* Records of a file mostly follow each other: extend the segment written last. */
  size_t hint = store->lastWritten;
  if (hint < segments.size() && SegmentEnd(segments[hint]) == address &&
      (hint + 1 == segments.size() || segments[hint + 1].address > end)) {
    Segment &segment = segments[hint];
    if (!ReserveBytes(&segment, static_cast<uint64_t>(segment.length) + length)) {
      return TRL_ERR_MEMORY;
    }
    std::memcpy(segment.bytes + segment.length, data, length);
    segment.length += length;
    return TRL_OK;
  }

  size_t first = FindFirstReaching(store, address);
  size_t last = first;
  while (last < segments.size() && segments[last].address <= end) {
    if (rule == OVERLAP_MUST_AGREE && RangesDisagree(segments[last], address, data, end)) {
      return TRL_ERR_CONFLICT;
    }
    ++last;
  }
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
  if (!ReserveBytes(&target, newEnd - newStart)) {
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

uint32_t StoreFindConflict(const SegmentStore *store, const SegmentStore *other) {
  for (const Segment &incoming : other->segments) {
    const uint64_t end = SegmentEnd(incoming);
    for (size_t index = FindFirstReaching(store, incoming.address);
         index < store->segments.size() && store->segments[index].address < end; ++index) {
      if (RangesDisagree(store->segments[index], incoming.address, incoming.bytes, end)) {
        return TRL_ERR_CONFLICT;
      }
    }
  }
  return TRL_OK;
}

uint32_t StoreRemove(SegmentStore *store, uint32_t address, uint32_t length) {
  std::vector<Segment> &segments = store->segments;
  const uint64_t end = static_cast<uint64_t>(address) + length;
  /* A segment that merely ends at address loses nothing: start past it. */
  size_t index = FindFirstReaching(store, static_cast<uint64_t>(address) + 1);
  while (index < segments.size() && segments[index].address < end) {
    Segment &segment = segments[index];
    const uint64_t segmentEnd = SegmentEnd(segment);
    const bool keepsHead = segment.address < address;
    const bool keepsTail = segmentEnd > end;
    if (keepsHead && keepsTail) {
      /* Copy the smaller side out; the larger one stays where it is. */
      const uint32_t headLength = address - segment.address;
      const uint32_t tailOffset = static_cast<uint32_t>(end - segment.address);
      const uint32_t tailLength = static_cast<uint32_t>(segmentEnd - end);
      if (tailLength <= headLength) {
        if (!InsertSegment(store, index + 1, static_cast<uint32_t>(end), segment.bytes + tailOffset,
                           tailLength)) {
          return TRL_ERR_MEMORY;
        }
        segments[index].length = headLength;
      } else {
        if (!InsertSegment(store, index, segment.address, segment.bytes, headLength)) {
          return TRL_ERR_MEMORY;
        }
        CutHead(&segments[index + 1], tailOffset);
      }
      break;
    }
    if (keepsHead) {
      segment.length = address - segment.address;
      ++index;
    } else if (keepsTail) {
      CutHead(&segment, static_cast<uint32_t>(end - segment.address));
      break;
    } else {
      std::free(segment.block);
      segments.erase(segments.begin() + static_cast<std::ptrdiff_t>(index));
    }
  }
  store->lastWritten = 0;
  return TRL_OK;
}

void StoreShrink(SegmentStore *store) {
  for (Segment &segment : store->segments) {
    ReclaimFront(&segment);
    if (segment.capacity > segment.length) {
      auto *block = static_cast<uint8_t *>(std::realloc(segment.block, segment.length));
      if (block != nullptr) {
        segment.block = block;
        segment.bytes = block;
        segment.capacity = segment.length;
      }
    }
  }
}

void StoreClear(SegmentStore *store) {
  for (Segment &segment : store->segments) {
    std::free(segment.block);
  }
  store->segments.clear();
  store->segments.shrink_to_fit();
  store->lastWritten = 0;
}
