/*
 * Bytes that a load met out of address order, each at its own offset in a page
 * of PAGE_SIZE bytes aligned to its address, with marks telling which are
 * held. The pages lie in one block in the order they were first written;
 * at the end they are put in address order where they are, so that the
 * segments they make can stay in that block: whatever the record order, the
 * data are held once.
 */
#ifndef TRELLAN_PAGE_STORE_H
#define TRELLAN_PAGE_STORE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "segment_store.h"
#include "trellan.h"

constexpr uint32_t PAGE_SIZE = 1024;

/* Records mostly hold whole 16-byte chunks: a bit a chunk then says what a page holds. */
constexpr uint32_t CHUNK_SIZE = 16;

struct PageBytes {
  uint8_t bytes[PAGE_SIZE];
};

/* A bit for each byte of a page, for pages that were given part of a chunk. */
struct PageBits {
  uint64_t words[PAGE_SIZE / 64];
};

struct PageMarks {
  uint64_t chunks;  /* chunks held whole, while fine is 0 */
  uint32_t fine;    /* index + 1 of the page's PageBits, which then say what it holds */
  uint32_t address;
};

/*
 * Short writes are staged in arrival order and placed 64 KiB window by window
 * when the stage fills: records that land all over the image then stream
 * through the pages instead of costing a cache miss each.
 */
constexpr uint32_t STAGED_WRITE_MAX = 256;
constexpr size_t STAGE_BYTES = size_t{4} << 20;
constexpr size_t STAGED_WRITES = STAGE_BYTES / CHUNK_SIZE;

static_assert(STAGE_BYTES <= size_t{1} << 24 && STAGED_WRITE_MAX <= 256, "a place holds an offset and a length");

struct StagedWrite {
  uint32_t address;
  uint32_t place;  /* offset in the stage << 8 | (length - 1) */
};

struct PageStore {
  PageBytes *pages;      /* in the order they were first written */
  PageMarks *marks;      /* of each page */
  size_t count;
  size_t pageCapacity;
  size_t markCapacity;
  PageBits *fine;
  size_t fineCount;
  size_t fineCapacity;
  uint32_t **windows;    /* for each 64 KiB of the address space: null, or each of its pages' index + 1 */
  uint64_t *known;       /* a bit for each page of the address space: held, or coming with a staged write */
  uint64_t bytesHeld;    /* bytes written or staged, for how sparse the pages are */
  size_t pendingPages;   /* pages that staged writes will add: counted as held already */
  uint8_t *stageBytes;   /* STAGE_BYTES: the data of the staged writes, one after the other */
  size_t stageUsed;
  StagedWrite *staged;   /* 2 * STAGED_WRITES: those staged, in arrival order, then room to sort them */
  size_t stagedCount;
  uint32_t lastStagedPage; /* the page number of the last staged write's start, while one is staged */
  bool stagedRising;     /* whether a staged write lies in a later page than the one staged before it */
  bool stagedFalling;    /* or in an earlier one: if neither or only this, they need no sort */
  uint32_t *windowStarts; /* a counter for each 64 KiB window, for sorting the staged writes */
  size_t stageRoom;      /* the room the last staged write gave, for the pages they add */
};

/* Pages may take this much however sparse they are: a 32 MiB image in any order fits. */
constexpr uint64_t PAGE_BUDGET = uint64_t{64} << 20;

/* Beyond the budget, new pages only while they hold at least one byte in this many. */
constexpr uint64_t SPARSE_FACTOR = 8;

/* Whether all length bytes at address lie in pages the store holds or has coming. */
bool PageStoreKnows(const PageStore *store, uint32_t address, uint32_t length);

/*
 * Whether the store takes length bytes at address: always while it is small
 * or its pages are well used, else only into pages it already has, so that
 * scattered bytes cannot cost a page each without end. Inline: most records
 * out of order ask.
 */
inline bool PageStoreTakes(const PageStore *store, uint32_t address, uint32_t length) {
  const uint64_t pageBytes = (uint64_t{store->count} + store->pendingPages) * PAGE_SIZE;
  return pageBytes < PAGE_BUDGET || pageBytes <= SPARSE_FACTOR * store->bytesHeld ||
         PageStoreKnows(store, address, length);
}

/*
 * Writes length bytes (at least 1, below ADDRESS_SPACE_END) at address. room:
 * how many more bytes may come, if known (0: unknown). Fails with
 * TRL_ERR_CONFLICT where a held byte differs, or TRL_ERR_MEMORY; a short
 * write may be staged and fail in a later call, or in PageStoreFinish().
 */
uint32_t PageStoreWriteAny(PageStore *store, uint32_t address, const uint8_t *data, uint32_t length, size_t room);

/* memcpy() for the lengths records mostly have: a copy of a length known at compile time takes no setup. */
inline void CopyRecordBytes(uint8_t *to, const uint8_t *from, uint32_t length) {
  if (length == 16) {
    std::memcpy(to, from, 16);
  } else if (length == 32) {
    std::memcpy(to, from, 32);
  } else {
    std::memcpy(to, from, length);
  }
}

/* Whether the page at pageAddress is held or coming: sets its bit, and says whether it was set before. */
inline bool MarkKnown(PageStore *store, uint32_t pageAddress) {
  uint64_t &word = store->known[pageAddress / PAGE_SIZE / 64];
  const uint64_t bit = uint64_t{1} << (pageAddress / PAGE_SIZE % 64);
  const bool known = (word & bit) != 0;
  word |= bit;
  return known;
}

/*
 * Appends a write to the stage, which has room for it, its pages marked
 * held or coming already; notes whether the stage still runs one way.
 */
inline void AppendStaged(PageStore *store, uint32_t address, const uint8_t *data, uint32_t length, size_t room) {
  /* The stage's fields are read before the copy, which may alias any of them. */
  const size_t used = store->stageUsed;
  const size_t count = store->stagedCount;
  const uint32_t page = address / PAGE_SIZE;
  if (count > 0 && page != store->lastStagedPage) {
    store->stagedRising |= page > store->lastStagedPage;
    store->stagedFalling |= page < store->lastStagedPage;
  }
  uint8_t *to = store->stageBytes + used;
  store->lastStagedPage = page;
  store->staged[count] = StagedWrite{address, static_cast<uint32_t>(used << 8 | (length - 1))};
  store->stagedCount = count + 1;
  store->stageUsed = used + length;
  store->stageRoom = room;
  CopyRecordBytes(to, data, length);
}

/*
 * PageStoreWriteAny(), inline for what nearly every write out of order is: a
 * short one within a page, staged after others while the stage has room.
 */
inline uint32_t PageStoreWrite(PageStore *store, uint32_t address, const uint8_t *data, uint32_t length, size_t room) {
  const size_t count = store->stagedCount;
  if (count == 0 || count == STAGED_WRITES || length > STAGED_WRITE_MAX || store->stageUsed + length > STAGE_BYTES ||
      address % PAGE_SIZE + length > PAGE_SIZE) {
    return PageStoreWriteAny(store, address, data, length, room);
  }
  /* A write in the page of the one staged before it has its page counted already. */
  if (address / PAGE_SIZE != store->lastStagedPage && !MarkKnown(store, address - address % PAGE_SIZE)) {
    store->pendingPages++;
  }
  store->bytesHeld += length;
  AppendStaged(store, address, data, length, room);
  return TRL_OK;
}

/*
 * Moves the bytes into segments of target, which must be empty: the segments
 * stay in the block of pages, which target keeps. The store is empty
 * afterwards, whatever the outcome. Fails as PageStoreWrite() does.
 */
uint32_t PageStoreFinish(PageStore *store, SegmentStore *target);

void PageStoreClear(PageStore *store);

#endif
