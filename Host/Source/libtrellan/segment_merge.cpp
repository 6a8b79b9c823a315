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

/* Reverses the bytes of [first, last) in place, eight at a time. */
void ReverseBytes(uint8_t *first, uint8_t *last) {
  auto swapped = [](uint64_t word) {
    word = ((word & 0x00FF00FF00FF00FFull) << 8) | ((word >> 8) & 0x00FF00FF00FF00FFull);
    word = ((word & 0x0000FFFF0000FFFFull) << 16) | ((word >> 16) & 0x0000FFFF0000FFFFull);
    return (word << 32) | (word >> 32);
  };
  while (last - first >= 16) {
    uint64_t head = 0;
    uint64_t tail = 0;
    std::memcpy(&head, first, 8);
    std::memcpy(&tail, last - 8, 8);
    head = swapped(head);
    tail = swapped(tail);
    std::memcpy(first, &tail, 8);
    std::memcpy(last - 8, &head, 8);
    first += 8;
    last -= 8;
  }
  std::reverse(first, last);
}

/*
 * Runs that came from the highest address down lie in the arena in the
 * opposite order of their addresses. Reversing the whole arena and then each
 * run puts them back to back in address order, so that merging can leave
 * them where they are. The runs are already in address order.
 */
void ReverseArena(RunList *list) {
  ReverseBytes(list->arena, list->arena + list->used);
  for (size_t index = 0; index < list->count; ++index) {
    Run &run = list->runs[index];
    run.offset = list->used - run.offset - run.length;
    ReverseBytes(list->arena + run.offset, list->arena + run.offset + run.length);
  }
}

/*
 * Sorts the runs by address, keeping arrival order among equal addresses.
 * *bytesInOrder tells whether the arena then holds their bytes in address
 * order (either way), so that reading segments left there streams. False
 * when out of memory.
 */
bool SortRuns(RunList *list, bool *bytesInOrder) {
  Run *runs = list->runs;
  const size_t count = list->count;
  bool ascending = true;
  bool descending = true;
  bool touching = false; /* some run ends where the one before it begins */
  uint32_t lowest = runs[0].address;
  uint32_t highest = runs[0].address;
  uint32_t differingBits = 0;
  for (size_t index = 1; index < count; ++index) {
    const uint32_t address = runs[index].address;
    ascending = ascending && runs[index - 1].address <= address;
    descending = descending && runs[index - 1].address > address;
    touching = touching || address + static_cast<uint64_t>(runs[index].length) == runs[index - 1].address;
    lowest = std::min(lowest, address);
    highest = std::max(highest, address);
    differingBits |= address ^ runs[0].address;
  }
  *bytesInOrder = ascending || descending;
  if (ascending) {
    return true;
  }
  if (descending) {
    std::reverse(runs, runs + count); /* no two addresses are equal: the order is still stable */
    if (touching) {
      ReverseArena(list);
    }
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
  uint8_t *bytes;
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
 * When mayStay, a merged segment whose pieces lie back to back in an arena,
 * in order and without overlap, is marked inPlace: it can stay where it is.
 */
template <typename Source>
uint32_t PlanMerge(PieceWalk<Source> walk, bool mayStay, SegmentList *merged,
                   std::vector<bool> *inPlace) {
  Piece piece{};
  Piece furthest{};
  Piece previous{};
  while (NextPiece(&walk, &piece)) {
    if (merged->empty() || piece.address > SegmentEnd(merged->back())) {
      merged->push_back(Segment{piece.address, piece.length, 0, nullptr, nullptr});
      inPlace->push_back(mayStay && piece.owner == nullptr);
      furthest = piece;
      previous = piece;
      continue;
    }
    if (inPlace->back() && (piece.owner != nullptr || piece.address != PieceEnd(previous) ||
                            piece.bytes != previous.bytes + previous.length)) {
      inPlace->back() = false;
    }
    previous = piece;
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

/* What the second pass needs beside the walk and the planned segments. */
struct MergeRoom {
  const std::vector<bool> *inPlace;
  SegmentStore newRoom;    /* an arena for small segments that need new room */
  size_t smallBytes;       /* how many bytes those take at most */
  std::vector<bool> fresh; /* segments that got a block of their own, for a failure to free */
  bool leftInArena;        /* some segment stays in other's arena, which the store must keep */
};

/*
 * Second pass: fills the planned segments. A segment whose first piece has a
 * block of its own grows that block; one marked in place stays in the arena;
 * any other gets new room: from newRoom when small, else a block of its own.
 */
template <typename Source>
uint32_t BuildMerge(PieceWalk<Source> walk, SegmentList *merged, MergeRoom *room) {
  Piece piece{};
  Segment *segment = nullptr;
  uint64_t filledEnd = 0;
  bool copying = false;
  while (NextPiece(&walk, &piece)) {
    PrefetchAhead(*walk.other, walk.otherNext);
    if (segment == nullptr || piece.address > filledEnd) {
      segment = segment == nullptr ? merged->data() : segment + 1;
      const size_t index = static_cast<size_t>(segment - merged->data());
      const uint32_t length = segment->length;
      filledEnd = PieceEnd(piece);
      copying = false;
      if (piece.owner != nullptr) {
        if (!SegmentReserve(piece.owner, length)) {
          return TRL_ERR_MEMORY;
        }
        *segment = *piece.owner;
        segment->length = length;
        copying = true;
        continue;
      }
      if ((*room->inPlace)[index]) {
        segment->bytes = piece.bytes;
        room->leftInArena = true;
      } else if (length <= SMALL_SEGMENT) {
        segment->bytes = StoreTakeArenaBytes(&room->newRoom, length, room->smallBytes);
      } else {
        segment->block = static_cast<uint8_t *>(ResizeBlock(nullptr, length));
        segment->bytes = segment->block;
        room->fresh[index] = true;
      }
      if (segment->bytes == nullptr) {
        return TRL_ERR_MEMORY;
      }
      segment->capacity = length;
      if (!(*room->inPlace)[index]) {
        std::memcpy(segment->bytes, piece.bytes, piece.length);
        copying = true;
      }
    } else if (PieceEnd(piece) > filledEnd) {
      if (copying) {
        std::memcpy(segment->bytes + (filledEnd - segment->address),
                    piece.bytes + (filledEnd - piece.address),
                    static_cast<size_t>(PieceEnd(piece) - filledEnd));
      }
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

/* The arena whose bytes segments may be left in: the runs', handed over; a store's has none. */
uint8_t *TakeArena(RunList *list) { return std::exchange(list->arena, nullptr); }
uint8_t *TakeArena(SegmentList *) { return nullptr; }

/*
 * Merges other into store; other's segments and arenas are left for the
 * caller. Nothing changes unless it all fits; grown blocks keep their bytes.
 */
template <typename Source>
uint32_t MergeInto(SegmentStore *store, Source *other, size_t otherArenas, bool mayStay) {
  SegmentList merged;
  std::vector<bool> inPlace;
  uint32_t status =
      PlanMerge(PieceWalk<Source>{&store->segments, 0, other, 0}, mayStay, &merged, &inPlace);
  if (status != TRL_OK) {
    return status;
  }
  /* Room for the arenas the store adopts at the end: other's, one for new room, the runs'. */
  MergeRoom room{&inPlace, SegmentStore{}, 0, std::vector<bool>(merged.size(), false), false};
  if (!StoreMakeRoomForArenas(store, otherArenas + 2) || !StoreMakeRoomForArenas(&room.newRoom, 2)) {
    return TRL_ERR_MEMORY;
  }
  for (size_t index = 0; index < merged.size(); ++index) {
    room.smallBytes += !inPlace[index] && merged[index].length <= SMALL_SEGMENT ? merged[index].length : 0;
  }
  status = BuildMerge(PieceWalk<Source>{&store->segments, 0, other, 0}, &merged, &room);
  if (status != TRL_OK) {
    for (size_t index = 0; index < merged.size(); ++index) {
      if (room.fresh[index]) {
        std::free(merged[index].block);
      }
    }
    StoreClear(&room.newRoom);
    return status;
  }
  ReleaseAbsorbedBlocks(&store->segments, merged);
  store->segments.swap(merged);
  store->lastWritten = 0;
  if (room.leftInArena) {
    room.newRoom.arenas.push_back(TakeArena(other));
  }
  StoreAdoptArenas(store, &room.newRoom.arenas);
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
    bool bytesInOrder = false;
    status = SortRuns(list, &bytesInOrder) ? MergeInto(store, list, 0, bytesInOrder)
                                           : static_cast<uint32_t>(TRL_ERR_MEMORY);
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
  const uint32_t status = MergeInto(store, &other->segments, other->arenas.size(), false);
  if (status == TRL_OK) {
    ReleaseAbsorbedBlocks(&other->segments, store->segments);
    StoreAdoptArenas(store, &other->arenas);
  }
  return status;
}
