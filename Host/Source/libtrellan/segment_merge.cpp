#include "segment_merge.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "trellan.h"

namespace {

/* How many runs ahead the merge asks for bytes while it copies. */
constexpr size_t PREFETCH_DISTANCE = 16;

/* Radix sort digits of up to 8 bits: few enough buckets for each pass to write well. */
constexpr unsigned MAX_DIGIT_BITS = 8;

/* A data record takes at least 13 characters and room counts two a byte: a run per six bytes at most. */
constexpr size_t ROOM_PER_RUN = 6;

/*
 * Grows an array of items to hold needed of them, doubling so that appends
 * stay cheap; a large array that may need room more items gets them at once.
 */
template <typename Item>
bool GrowArray(Item **items, size_t *capacity, size_t needed, size_t room) {
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

/*
 * The sort key of a run: its address less the lowest, without the low zero
 * bits that all share (records mostly hold 32 bytes at multiples of 32), so
 * that fewer digits cover it.
 */
struct SortKey {
  uint32_t lowest;
  unsigned shift;
  unsigned digitBits;
  unsigned digits;
};

inline size_t DigitOf(const SortKey &key, uint32_t address, unsigned digit) {
  return ((address - key.lowest) >> (key.shift + digit * key.digitBits)) &
         ((size_t{1} << key.digitBits) - 1);
}

/* Sorts the runs by address, keeping arrival order among equal addresses. False when out of memory. */
bool SortRuns(RunList *list) {
  Run *runs = list->runs;
  const size_t count = list->count;
  bool ascending = true;
  bool descending = true;
  uint32_t lowest = runs[0].address;
  uint32_t highest = runs[0].address;
  uint32_t differingBits = 0;
  for (size_t index = 1; index < count; ++index) {
    const uint32_t address = runs[index].address;
    ascending = ascending && runs[index - 1].address <= address;
    descending = descending && runs[index - 1].address > address;
    lowest = std::min(lowest, address);
    highest = std::max(highest, address);
    differingBits |= address ^ runs[0].address;
  }
  if (ascending) {
    return true;
  }
  if (descending) {
    std::reverse(runs, runs + count); /* no two addresses are equal: the order is still stable */
    return true;
  }
  /* Least significant digit first: each pass keeps the order of the one before among equals. */
  SortKey key{lowest, 0, 0, 0};
  while (((differingBits >> key.shift) & 1) == 0) {
    ++key.shift; /* ends: the runs would be in order if no bit differed */
  }
  unsigned keyBits = 0;
  while (keyBits + key.shift < 32 && ((highest - lowest) >> (key.shift + keyBits)) != 0) {
    ++keyBits;
  }
  key.digits = (keyBits + MAX_DIGIT_BITS - 1) / MAX_DIGIT_BITS;
  key.digitBits = (keyBits + key.digits - 1) / key.digits;
  const size_t digitValues = size_t{1} << key.digitBits;
  std::vector<size_t> counts(key.digits * digitValues, 0);
  for (size_t index = 0; index < count; ++index) {
    for (unsigned digit = 0; digit < key.digits; ++digit) {
      counts[digit * digitValues + DigitOf(key, runs[index].address, digit)]++;
    }
  }
  auto *scratch = static_cast<Run *>(ResizeBlock(nullptr, count * sizeof(Run)));
  if (scratch == nullptr) {
    return false;
  }
  Run *from = runs;
  Run *to = scratch;
  for (unsigned digit = 0; digit < key.digits; ++digit) {
    size_t *positions = &counts[digit * digitValues];
    size_t position = 0;
    for (size_t value = 0; value < digitValues; ++value) {
      position += std::exchange(positions[value], position);
    }
    for (size_t index = 0; index < count; ++index) {
      to[positions[DigitOf(key, from[index].address, digit)]++] = from[index];
    }
    std::swap(from, to);
  }
  std::free(to);
  list->runs = from;
  list->runCapacity = count;
  return true;
}

/* Bytes to merge; owner is the segment whose block holds them, null for bytes in an arena. */
struct Piece {
  uint32_t address;
  uint32_t length;
  const uint8_t *bytes;
  Segment *owner;
};

inline uint64_t PieceEnd(const Piece &piece) {
  return static_cast<uint64_t>(piece.address) + piece.length;
}

size_t PieceCount(const SegmentList &segments) { return segments.size(); }
size_t PieceCount(const RunList &list) { return list.count; }

Piece PieceAt(SegmentList &segments, size_t index) {
  Segment &segment = segments[index];
  return {segment.address, segment.length, segment.bytes, &segment};
}
Piece PieceAt(RunList &list, size_t index) {
  const Run &run = list.runs[index];
  return {run.address, run.length, list.arena + run.offset, nullptr};
}

/* Sorted runs lie all over the arena: asks for the bytes of a later one while this one is copied. */
void PrefetchAhead(const RunList &list, size_t next) {
#if defined(__GNUC__)
  if (next + PREFETCH_DISTANCE < list.count) {
    __builtin_prefetch(list.arena + list.runs[next + PREFETCH_DISTANCE].offset);
  }
#endif
}
void PrefetchAhead(const SegmentList &, size_t) {}

/* The held segments and another sorted source, walked in address order; held ones first among equals. */
template <typename Source>
struct PieceWalk {
  SegmentList *held;
  size_t heldNext;
  Source *other;
  size_t otherNext;
};

template <typename Source>
bool NextPiece(PieceWalk<Source> *walk, Piece *piece) {
  const bool heldLeft = walk->heldNext < walk->held->size();
  if (walk->otherNext < PieceCount(*walk->other)) {
    Piece other = PieceAt(*walk->other, walk->otherNext);
    if (!heldLeft || (*walk->held)[walk->heldNext].address > other.address) {
      walk->otherNext++;
      *piece = other;
      return true;
    }
  }
  if (!heldLeft) {
    return false;
  }
  *piece = PieceAt(*walk->held, walk->heldNext++);
  return true;
}

/*
 * First pass: finds each merged segment's extent and refuses contradictions,
 * changing nothing. The piece that reaches furthest began no later than the
 * current one, so it holds every byte the current one shares with those before.
 */
template <typename Source>
uint32_t PlanMerge(PieceWalk<Source> walk, SegmentList *merged) {
  Piece piece{};
  Piece furthest{};
  while (NextPiece(&walk, &piece)) {
    if (merged->empty() || piece.address > SegmentEnd(merged->back())) {
      merged->push_back(Segment{piece.address, piece.length, 0, nullptr, nullptr});
      furthest = piece;
      continue;
    }
    const uint64_t shared = std::min(PieceEnd(piece), PieceEnd(furthest)) - piece.address;
    if (shared > 0 && std::memcmp(piece.bytes, furthest.bytes + (piece.address - furthest.address),
                                  static_cast<size_t>(shared)) != 0) {
      return TRL_ERR_CONFLICT;
    }
    if (PieceEnd(piece) > PieceEnd(furthest)) {
      Segment &segment = merged->back();
      if (PieceEnd(piece) - segment.address > UINT32_MAX) {
        return TRL_ERR_MEMORY; /* one segment of the whole address space */
      }
      segment.length = static_cast<uint32_t>(PieceEnd(piece) - segment.address);
      furthest = piece;
    }
  }
  return TRL_OK;
}

/*
 * Second pass: fills the planned segments. A segment whose first piece has a
 * block of its own grows that block; otherwise it gets new room: from an arena
 * in newRoom when small, else a block of its own, marked in fresh so that a
 * failure can free it.
 */
template <typename Source>
uint32_t BuildMerge(PieceWalk<Source> walk, SegmentList *merged, SegmentStore *newRoom,
                    size_t smallBytes, std::vector<bool> *fresh) {
  Piece piece{};
  Segment *segment = nullptr;
  uint64_t filledEnd = 0;
  while (NextPiece(&walk, &piece)) {
    PrefetchAhead(*walk.other, walk.otherNext);
    if (segment == nullptr || piece.address > filledEnd) {
      segment = segment == nullptr ? merged->data() : segment + 1;
      const uint32_t length = segment->length;
      if (piece.owner != nullptr) {
        if (!SegmentReserve(piece.owner, length)) {
          return TRL_ERR_MEMORY;
        }
        *segment = *piece.owner;
        segment->length = length;
      } else {
        if (length <= SMALL_SEGMENT) {
          segment->bytes = StoreTakeArenaBytes(newRoom, length, smallBytes);
        } else {
          segment->block = static_cast<uint8_t *>(ResizeBlock(nullptr, length));
          segment->bytes = segment->block;
          (*fresh)[static_cast<size_t>(segment - merged->data())] = true;
        }
        if (segment->bytes == nullptr) {
          return TRL_ERR_MEMORY;
        }
        segment->capacity = length;
        std::memcpy(segment->bytes, piece.bytes, piece.length);
      }
      filledEnd = PieceEnd(piece);
    } else if (PieceEnd(piece) > filledEnd) {
      std::memcpy(segment->bytes + (filledEnd - segment->address),
                  piece.bytes + (filledEnd - piece.address),
                  static_cast<size_t>(PieceEnd(piece) - filledEnd));
      filledEnd = PieceEnd(piece);
    }
  }
  return TRL_OK;
}

/* Frees the blocks of source's segments that merged did not take over, and empties source. */
void ReleaseAbsorbedBlocks(SegmentList *source, const SegmentList &merged) {
  size_t index = 0;
  for (const Segment &segment : *source) {
    while (SegmentEnd(merged[index]) <= segment.address) {
      ++index;
    }
    if (merged[index].block != segment.block) {
      std::free(segment.block);
    }
  }
  source->clear();
}

/*
 * Merges other into store; other's segments and arenas are left for the
 * caller. Nothing changes unless it all fits; grown blocks keep their bytes.
 */
template <typename Source>
uint32_t MergeInto(SegmentStore *store, Source *other, size_t otherArenas) {
  SegmentList merged;
  uint32_t status = PlanMerge(PieceWalk<Source>{&store->segments, 0, other, 0}, &merged);
  if (status != TRL_OK) {
    return status;
  }
  /* One arena for the small new segments, and those of other, adopted at the end. */
  if (!StoreMakeRoomForArenas(store, otherArenas + 1)) {
    return TRL_ERR_MEMORY;
  }
  size_t smallBytes = 0;
  for (const Segment &segment : merged) {
    smallBytes += segment.length <= SMALL_SEGMENT ? segment.length : 0;
  }
  SegmentStore newRoom{};
  std::vector<bool> fresh(merged.size(), false);
  status = BuildMerge(PieceWalk<Source>{&store->segments, 0, other, 0}, &merged, &newRoom,
                      smallBytes, &fresh);
  if (status != TRL_OK) {
    for (size_t index = 0; index < merged.size(); ++index) {
      if (fresh[index]) {
        std::free(merged[index].block);
      }
    }
    StoreClear(&newRoom);
    return status;
  }
  ReleaseAbsorbedBlocks(&store->segments, merged);
  store->segments.swap(merged);
  store->lastWritten = 0;
  StoreAdoptArenas(store, &newRoom.arenas);
  return TRL_OK;
}

}  // namespace

uint8_t *RunListAppend(RunList *list, uint32_t address, uint32_t length, size_t room) {
  if (!GrowArray(&list->arena, &list->arenaCapacity, list->used + length, room)) {
    return nullptr;
  }
  uint8_t *destination = list->arena + list->used;
  Run *last = list->count > 0 ? &list->runs[list->count - 1] : nullptr;
  if (last != nullptr && static_cast<uint64_t>(last->address) + last->length == address &&
      static_cast<uint64_t>(last->length) + length <= UINT32_MAX) {
    last->length += length;
  } else {
    if (!GrowArray(&list->runs, &list->runCapacity, list->count + 1, room / ROOM_PER_RUN)) {
      return nullptr;
    }
    list->runs[list->count++] = Run{address, length, list->used};
  }
  list->used += length;
  return destination;
}

void RunListClear(RunList *list) {
  std::free(list->arena);
  std::free(list->runs);
  *list = RunList{};
}

uint32_t StoreMergeRuns(SegmentStore *store, RunList *list) {
  uint32_t status = TRL_OK;
  if (list->count > 0) {
    status = SortRuns(list) ? MergeInto(store, list, 0) : static_cast<uint32_t>(TRL_ERR_MEMORY);
  }
  RunListClear(list);
  return status;
}

uint32_t StoreMergeStore(SegmentStore *store, SegmentStore *other) {
  if (store->segments.empty()) {
    std::swap(*store, *other);
    return TRL_OK;
  }
  if (other->segments.empty()) {
    return TRL_OK;
  }
  const uint32_t status = MergeInto(store, &other->segments, other->arenas.size());
  if (status == TRL_OK) {
    ReleaseAbsorbedBlocks(&other->segments, store->segments);
    StoreAdoptArenas(store, &other->arenas);
  }
  return status;
}
