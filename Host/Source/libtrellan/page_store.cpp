#include "page_store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "bit_scan.h"
#include "trellan.h"

namespace {

constexpr uint32_t WORD_BITS = 64;
constexpr uint32_t WINDOW_SIZE = 0x10000;
constexpr uint32_t WINDOW_COUNT = 0x10000;
constexpr uint32_t PAGES_PER_WINDOW = WINDOW_SIZE / PAGE_SIZE;

/* A bit for each page of the address space: 512 KiB, of which a load touches the part its image spans. */
constexpr size_t KNOWN_WORDS = ADDRESS_SPACE_END / PAGE_SIZE / 64;

/* No page lies at this address: pages are aligned. */
constexpr uint32_t NO_PAGE = UINT32_MAX;

/* How many staged writes ahead of the one being placed its bytes are asked for. */
constexpr size_t PLACE_AHEAD = 32;

/* A word of the known bits covers one window. */
static_assert(PAGES_PER_WINDOW == 64, "a window's pages are one word of known bits");

/* The first offset from offset on (below end) whose bit is set, or clear when set is false; else end. */
uint32_t FindFilled(const uint64_t *filled, uint32_t offset, uint32_t end, bool set) {
  while (offset < end) {
    uint64_t word = filled[offset / WORD_BITS];
    word = (set ? word : ~word) >> (offset % WORD_BITS);
    if (word == 0) {
      offset = (offset / WORD_BITS + 1) * WORD_BITS;
      continue;
    }
    offset += LowestSetBit(word);
    break;
  }
  return std::min(offset, end);
}

bool IsKnown(const PageStore *store, uint32_t pageAddress) {
  return store->known != nullptr && (store->known[pageAddress / PAGE_SIZE / 64] >> (pageAddress / PAGE_SIZE % 64) & 1) != 0;
}

bool AllocateKnown(PageStore *store) {
  if (store->known == nullptr) {
    store->known = static_cast<uint64_t *>(std::calloc(KNOWN_WORDS, sizeof(uint64_t)));
  }
  return store->known != nullptr;
}

/* The window entry of the page at pageAddress, its window made if there is none; null when out of memory. */
uint32_t *FindWindowEntry(PageStore *store, uint32_t pageAddress) {
  if (store->windows == nullptr) {
    store->windows = static_cast<uint32_t **>(std::calloc(WINDOW_COUNT, sizeof(uint32_t *)));
    if (store->windows == nullptr) {
      return nullptr;
    }
  }
  uint32_t *&window = store->windows[pageAddress / WINDOW_SIZE];
  if (window == nullptr) {
    window = static_cast<uint32_t *>(std::calloc(PAGES_PER_WINDOW, sizeof(uint32_t)));
    if (window == nullptr) {
      return nullptr;
    }
  }
  return &window[pageAddress % WINDOW_SIZE / PAGE_SIZE];
}

/* Adds the page at pageAddress, with no byte held, at its window entry *entry (0 so far). */
bool AddPage(PageStore *store, uint32_t *entry, uint32_t pageAddress, size_t room) {
  const size_t needed = store->count + 1;
  const size_t roomPages = room / PAGE_SIZE;
  if (!AllocateKnown(store) || !GrowArray(&store->pages, &store->pageCapacity, needed, roomPages) ||
      !GrowArray(&store->marks, &store->markCapacity, needed, roomPages)) {
    return false;
  }
  store->marks[store->count] = PageMarks{0, 0, pageAddress};
  if (MarkKnown(store, pageAddress)) {
    store->pendingPages--;
  }
  *entry = static_cast<uint32_t>(++store->count);
  return true;
}

/*
 * Adds the pages of the window at windowAddress (entries: its page entries)
 * that are held or coming and have none yet, in address order, and where
 * those take three in four pages of their stretch, the pages between them
 * too: a page that a later stage brings then already lies in its place.
 * Without this, records staged in arrival order within a window would leave
 * the pages in that order, and the end of the load would move them all.
 */
bool AddWindowPages(PageStore *store, uint32_t windowAddress, uint32_t *entries, size_t room) {
  uint64_t pages = store->known[windowAddress / WINDOW_SIZE];
  if (pages == 0) {
    return true;
  }
  const uint32_t low = LowestSetBit(pages);
  uint32_t high = low;
  uint32_t count = 0;
  for (uint64_t rest = pages; rest != 0; rest &= rest - 1) {
    high = LowestSetBit(rest);
    ++count;
  }
  const uint32_t span = high - low + 1;
  /* The pages between only where the block of pages has room for them already, and within the budget: they
     cost a copy of every page otherwise, or more than scattered bytes may take, and a page no stage brings stays
     empty. Their marks are small, and grow as they must. */
  const size_t withBetween = store->count + store->pendingPages + (span - count);
  const uint64_t bytesWithBetween = uint64_t{withBetween} * PAGE_SIZE;
  if (4 * count >= 3 * span && withBetween <= store->pageCapacity &&
      (bytesWithBetween < PAGE_BUDGET || bytesWithBetween <= SPARSE_FACTOR * store->bytesHeld)) {
    pages = (span == WORD_BITS ? ~uint64_t{0} : (uint64_t{1} << span) - 1) << low;
  }
  for (; pages != 0; pages &= pages - 1) {
    const uint32_t page = LowestSetBit(pages);
    if (entries[page] == 0 && !AddPage(store, &entries[page], windowAddress + page * PAGE_SIZE, room)) {
      return false;
    }
  }
  return true;
}

/* The index of the page at pageAddress, added with no byte held if there is none. */
bool FindOrAddPage(PageStore *store, uint32_t pageAddress, size_t room, size_t *index) {
  uint32_t *entry = FindWindowEntry(store, pageAddress);
  if (entry == nullptr || (*entry == 0 && !AddPage(store, entry, pageAddress, room))) {
    return false;
  }
  *index = *entry - 1;
  return true;
}

/* Marks bytes [offset, offset + length) of bits held; false where one is held with another value. */
bool MarkBytes(PageBits *bits, const PageBytes &page, uint32_t offset, const uint8_t *data, uint32_t length) {
  const uint32_t end = offset + length;
  for (uint32_t at = offset; at < end;) {
    const uint32_t shift = at % WORD_BITS;
    const uint32_t count = std::min(WORD_BITS - shift, end - at);
    const uint64_t mask = (count == WORD_BITS ? ~uint64_t{0} : (uint64_t{1} << count) - 1) << shift;
    uint64_t &word = bits->words[at / WORD_BITS];
    for (uint64_t held = (word & mask) >> shift, index = at; held != 0; held >>= 1, ++index) {
      if ((held & 1) != 0 && page.bytes[index] != data[index - offset]) {
        return false;
      }
    }
    word |= mask;
    at += count;
  }
  return true;
}

/* The bits of a page that holds whole chunks only. */
PageBits ExpandChunks(uint64_t chunks) {
  constexpr uint32_t CHUNKS_PER_WORD = WORD_BITS / CHUNK_SIZE;
  PageBits bits{};
  for (uint32_t chunk = 0; chunk < PAGE_SIZE / CHUNK_SIZE; ++chunk) {
    if ((chunks >> chunk & 1) != 0) {
      bits.words[chunk / CHUNKS_PER_WORD] |= ((uint64_t{1} << CHUNK_SIZE) - 1) << (chunk % CHUNKS_PER_WORD * CHUNK_SIZE);
    }
  }
  return bits;
}

/* Marks bytes [offset, offset + length) of a page held; TRL_ERR_CONFLICT where one is held with another value. */
uint32_t MarkHeldChecked(PageStore *store, size_t index, uint32_t offset, const uint8_t *data, uint32_t length) {
  PageMarks &marks = store->marks[index];
  const PageBytes &page = store->pages[index];
  if (marks.fine == 0 && offset % CHUNK_SIZE == 0 && length % CHUNK_SIZE == 0) {
    const uint32_t chunks = length / CHUNK_SIZE;
    const uint64_t mask = (chunks == 64 ? ~uint64_t{0} : (uint64_t{1} << chunks) - 1) << (offset / CHUNK_SIZE);
    for (uint64_t held = marks.chunks & mask; held != 0; held &= held - 1) {
      uint32_t chunk = 0;
      while ((held >> chunk & 1) == 0) {
        ++chunk;
      }
      const uint32_t at = chunk * CHUNK_SIZE;
      if (std::memcmp(page.bytes + at, data + (at - offset), CHUNK_SIZE) != 0) {
        return TRL_ERR_CONFLICT;
      }
    }
    marks.chunks |= mask;
    return TRL_OK;
  }
  if (marks.fine == 0) {
    if (!GrowArray(&store->fine, &store->fineCapacity, store->fineCount + 1, 0)) {
      return TRL_ERR_MEMORY;
    }
    store->fine[store->fineCount++] = ExpandChunks(marks.chunks);
    marks.fine = static_cast<uint32_t>(store->fineCount);
  }
  return MarkBytes(&store->fine[marks.fine - 1], page, offset, data, length) ? TRL_OK : TRL_ERR_CONFLICT;
}

/* MarkHeldChecked(), short for whole chunks that no byte is held in yet: what nearly every record is. */
inline uint32_t MarkHeld(PageStore *store, size_t index, uint32_t offset, const uint8_t *data, uint32_t length) {
  PageMarks &marks = store->marks[index];
  if (marks.fine == 0 && offset % CHUNK_SIZE == 0 && length % CHUNK_SIZE == 0 && length < PAGE_SIZE) {
    const uint64_t mask = ((uint64_t{1} << (length / CHUNK_SIZE)) - 1) << (offset / CHUNK_SIZE);
    if ((marks.chunks & mask) == 0) {
      marks.chunks |= mask;
      return TRL_OK;
    }
  }
  return MarkHeldChecked(store, index, offset, data, length);
}

uint32_t WriteNow(PageStore *store, uint32_t address, const uint8_t *data, uint32_t length, size_t room) {
  while (length > 0) {
    const uint32_t offset = address % PAGE_SIZE;
    const uint32_t part = std::min(length, PAGE_SIZE - offset);
    size_t index = 0;
    if (!FindOrAddPage(store, address - offset, room, &index)) {
      return TRL_ERR_MEMORY;
    }
    const uint32_t status = MarkHeld(store, index, offset, data, part);
    if (status != TRL_OK) {
      return status;
    }
    CopyRecordBytes(store->pages[index].bytes + offset, data, part);
    address += part;
    data += part;
    length -= part;
  }
  return TRL_OK;
}

/* Marks the pages that length bytes at address touch as coming, where they are not held yet. */
bool ReservePages(PageStore *store, uint32_t address, uint32_t length) {
  if (!AllocateKnown(store)) {
    return false;
  }
  const uint64_t end = uint64_t{address} + length;
  for (uint64_t page = address - address % PAGE_SIZE; page < end; page += PAGE_SIZE) {
    if (!MarkKnown(store, static_cast<uint32_t>(page))) {
      store->pendingPages++;
    }
  }
  return true;
}

/*
 * A counting sort of staged writes by 64 KiB window, in one pass. Within a
 * window its pages stay in the cache, and writes keep the order they were
 * staged in, so the stage is read forwards.
 */
void SortStagedByWindow(const StagedWrite *from, StagedWrite *to, size_t count, uint32_t *starts) {
  std::fill(starts, starts + WINDOW_COUNT, 0);
  for (size_t item = 0; item < count; ++item) {
    starts[from[item].address / WINDOW_SIZE]++;
  }
  uint32_t next = 0;
  for (uint32_t window = 0; window < WINDOW_COUNT; ++window) {
    const uint32_t size = starts[window];
    starts[window] = next;
    next += size;
  }
  for (size_t item = 0; item < count; ++item) {
    to[starts[from[item].address / WINDOW_SIZE]++] = from[item];
  }
}

/* Writes the staged writes window by window, so that the pages are walked once rather than at random. Kept out
   of line: staging a write is most of a load out of order, and takes few steps without it. */
#if defined(__GNUC__)
__attribute__((noinline))
#endif
uint32_t PlaceStaged(PageStore *store) {
  const size_t count = store->stagedCount;
  if (count == 0) {
    return TRL_OK;
  }
  /* The pages these writes add, at once: growing by doubling would copy the pages while the stage is held. */
  const size_t needed = store->count + store->pendingPages;
  const size_t roomPages = store->stageRoom / PAGE_SIZE;
  if (!GrowArray(&store->pages, &store->pageCapacity, needed, roomPages) ||
      !GrowArray(&store->marks, &store->markCapacity, needed, roomPages)) {
    /* The room is a guess: what the writes need may still fit. */
    if (!GrowArray(&store->pages, &store->pageCapacity, needed, 0) ||
        !GrowArray(&store->marks, &store->markCapacity, needed, 0)) {
      return TRL_ERR_MEMORY;
    }
  }
  StagedWrite *items = store->staged; /* its second half is the sort's scratch */
  if (store->stagedFalling && !store->stagedRising) {
    std::reverse(items, items + count); /* written from the top down, as some writers do */
  } else if (store->stagedFalling) {
    SortStagedByWindow(items, items + count, count, store->windowStarts);
    items += count;
  }
  uint32_t status = TRL_OK;
  uint32_t pageAddress = NO_PAGE; /* of the page the last write went to */
  size_t index = 0;               /* and its index */
  uint32_t *entries = nullptr;    /* the entries of its window */
  for (size_t item = 0; item < count && status == TRL_OK; ++item) {
#if defined(__GNUC__)
    if (item + PLACE_AHEAD < count) {
      __builtin_prefetch(store->stageBytes + (items[item + PLACE_AHEAD].place >> 8));
    }
#endif
    const uint32_t address = items[item].address;
    const uint8_t *data = store->stageBytes + (items[item].place >> 8);
    const uint32_t length = (items[item].place & 0xFF) + 1;
    const uint32_t offset = address % PAGE_SIZE;
    if (offset + length > PAGE_SIZE) {
      status = WriteNow(store, address, data, length, store->stageRoom);
      continue;
    }
    if (address - offset != pageAddress) {
      /* Writes come window by window: the window's entries are looked up once. */
      if (address / WINDOW_SIZE != pageAddress / WINDOW_SIZE || pageAddress == NO_PAGE) {
        const uint32_t windowAddress = address - address % WINDOW_SIZE;
        entries = FindWindowEntry(store, windowAddress);
        if (entries != nullptr && !AddWindowPages(store, windowAddress, entries, store->stageRoom)) {
          entries = nullptr;
        }
      }
      pageAddress = address - offset;
      uint32_t *entry = entries != nullptr ? entries + pageAddress % WINDOW_SIZE / PAGE_SIZE : nullptr;
      if (entry == nullptr || (*entry == 0 && !AddPage(store, entry, pageAddress, store->stageRoom))) {
        status = TRL_ERR_MEMORY;
        break;
      }
      index = *entry - 1;
    }
    status = MarkHeld(store, index, offset, data, length);
    if (status == TRL_OK) {
      CopyRecordBytes(store->pages[index].bytes + offset, data, length);
    }
  }
  store->stagedCount = 0;
  store->stagedRising = false;
  store->stagedFalling = false;
  store->stageUsed = 0;
  return status;
}

/* Puts the pages in address order where they are, each moved once. */
bool SortPagesInPlace(PageStore *store) {
  const size_t count = store->count;
  size_t sorted = 1;
  while (sorted < count && store->marks[sorted - 1].address < store->marks[sorted].address) {
    ++sorted;
  }
  if (sorted >= count) {
    return true; /* window by window, pages are mostly added in address order */
  }
  std::vector<uint32_t> order;
  try {
    order.resize(count);
  } catch (const std::bad_alloc &) {
    return false;
  }
  /* The windows list every page by address already: their walk is the order, no sort needed. */
  size_t next = 0;
  for (uint32_t window = 0; window < WINDOW_COUNT; ++window) {
    const uint32_t *entries = store->windows[window];
    for (uint32_t page = 0; entries != nullptr && page < PAGES_PER_WINDOW; ++page) {
      if (entries[page] != 0) {
        order[next++] = entries[page] - 1;
      }
    }
  }
  /* Position i takes the page at order[i]: follow each cycle once, one page aside. */
  auto *spare = static_cast<PageBytes *>(std::malloc(sizeof(PageBytes)));
  if (spare == nullptr) {
    return false;
  }
  for (size_t first = 0; first < count; ++first) {
    if (order[first] == first) {
      continue;
    }
    *spare = store->pages[first];
    const PageMarks spareMarks = store->marks[first];
    size_t to = first;
    for (size_t from = order[to]; from != first; from = order[to]) {
      store->pages[to] = store->pages[from];
      store->marks[to] = store->marks[from];
      order[to] = static_cast<uint32_t>(to);
      to = from;
    }
    store->pages[to] = *spare;
    store->marks[to] = spareMarks;
    order[to] = static_cast<uint32_t>(to);
  }
  std::free(spare);
  return true;
}

/* Each stretch of held bytes, across pages that follow each other, as a segment in the block. */
uint32_t MakeSegments(const PageStore *store, SegmentList *segments) {
  uint64_t segmentEnd = 0; /* where the last segment ends, 0 while there is none */
  for (size_t index = 0; index < store->count; ++index) {
    const PageMarks &marks = store->marks[index];
    const uint32_t pageAddress = marks.address;
    /* A bit a chunk, or a bit a byte. */
    const uint64_t *bits = marks.fine == 0 ? &marks.chunks : store->fine[marks.fine - 1].words;
    const uint32_t unit = marks.fine == 0 ? CHUNK_SIZE : 1;
    for (uint32_t offset = 0; offset < PAGE_SIZE;) {
      const uint32_t first = FindFilled(bits, offset / unit, PAGE_SIZE / unit, true) * unit;
      offset = FindFilled(bits, first / unit, PAGE_SIZE / unit, false) * unit;
      if (offset == first) {
        break;
      }
      const uint64_t start = uint64_t{pageAddress} + first;
      if (!segments->empty() && start == segmentEnd) {
        if (segmentEnd + (offset - first) - segments->back().address > UINT32_MAX) {
          return TRL_ERR_MEMORY; /* one segment of the whole address space */
        }
        segments->back().length += offset - first;
        segments->back().capacity += offset - first;
      } else {
        uint8_t *bytes = store->pages[index].bytes + first;
        segments->push_back(Segment{static_cast<uint32_t>(start), offset - first, offset - first, bytes, nullptr});
      }
      segmentEnd = uint64_t{pageAddress} + offset;
    }
  }
  return TRL_OK;
}

/* The stage, allocated at its first write. Huge pages are committed only as it fills. */
bool AllocateStage(PageStore *store) {
  store->stageBytes = static_cast<uint8_t *>(ResizeBlock(nullptr, STAGE_BYTES));
  store->staged = static_cast<StagedWrite *>(ResizeBlock(nullptr, 2 * STAGED_WRITES * sizeof(StagedWrite)));
  store->windowStarts = static_cast<uint32_t *>(std::malloc(WINDOW_COUNT * sizeof(uint32_t)));
  return store->stageBytes != nullptr && store->staged != nullptr && store->windowStarts != nullptr;
}

}  // namespace

bool PageStoreKnows(const PageStore *store, uint32_t address, uint32_t length) {
  const uint64_t end = uint64_t{address} + length;
  for (uint64_t page = address - address % PAGE_SIZE; page < end; page += PAGE_SIZE) {
    if (!IsKnown(store, static_cast<uint32_t>(page))) {
      return false;
    }
  }
  return true;
}

uint32_t PageStoreWriteAny(PageStore *store, uint32_t address, const uint8_t *data, uint32_t length, size_t room) {
  store->bytesHeld += length;
  if (length > STAGED_WRITE_MAX) {
    return WriteNow(store, address, data, length, room);
  }
  if (store->stageUsed + length > STAGE_BYTES || store->stagedCount == STAGED_WRITES) {
    const uint32_t status = PlaceStaged(store);
    if (status != TRL_OK) {
      return status;
    }
  }
  if (store->stageBytes == nullptr && !AllocateStage(store)) {
    return TRL_ERR_MEMORY;
  }
  if (!ReservePages(store, address, length)) {
    return TRL_ERR_MEMORY;
  }
  AppendStaged(store, address, data, length, room);
  return TRL_OK;
}

uint32_t PageStoreFinish(PageStore *store, SegmentStore *target) {
  uint32_t status = PlaceStaged(store);
  if (status == TRL_OK && store->count > 0) {
    try {
      target->arenas.reserve(1);
      status = SortPagesInPlace(store) ? MakeSegments(store, &target->segments)
                                       : static_cast<uint32_t>(TRL_ERR_MEMORY);
    } catch (const std::bad_alloc &) {
      status = TRL_ERR_MEMORY;
    }
    if (status == TRL_OK) {
      target->arenas.push_back(reinterpret_cast<uint8_t *>(store->pages));
      store->pages = nullptr;
    } else {
      target->segments.clear();
    }
  }
  PageStoreClear(store);
  return status;
}

void PageStoreClear(PageStore *store) {
  if (store->windows != nullptr) {
    for (uint32_t window = 0; window < WINDOW_COUNT; ++window) {
      std::free(store->windows[window]);
    }
  }
  std::free(store->windows);
  std::free(store->known);
  std::free(store->pages);
  std::free(store->marks);
  std::free(store->fine);
  std::free(store->stageBytes);
  std::free(store->staged);
  std::free(store->windowStarts);
  *store = PageStore{};
}
