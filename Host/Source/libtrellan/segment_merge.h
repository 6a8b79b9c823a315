/*
 * Merging many pieces of data into a segment store at once: the records that
 * a load met out of address order, or a whole second store. Each merge sorts
 * what needs sorting and then copies every byte at most once.
 */
#ifndef TRELLAN_SEGMENT_MERGE_H
#define TRELLAN_SEGMENT_MERGE_H

#include <cstddef>
#include <cstdint>

#include "segment_store.h"

struct Run {
  uint32_t address;
  uint32_t length;
  size_t offset; /* of the bytes in the arena */
};

/* Runs of bytes in arrival order, their bytes one after another in one arena. */
struct RunList {
  uint8_t *arena;
  size_t used;
  size_t arenaCapacity;
  Run *runs;
  size_t count;
  size_t runCapacity;
};

/*
 * Adds length bytes at address and returns where they go: the caller copies
 * them there. Bytes that continue the last run extend it. room is how many
 * more bytes may still come, if known (0: unknown), so that large arrays are
 * sized once. Returns null when out of memory.
 */
uint8_t *RunListAppend(RunList *list, uint32_t address, uint32_t length, size_t room);

/* Frees the arena and the runs. */
void RunListClear(RunList *list);

/*
 * Moves all runs of list into store and empties the list; segments may stay
 * in the list's arena, which the store then keeps. Where two runs, or a run
 * and the store, hold one address they must agree: otherwise
 * TRL_ERR_CONFLICT. Fails with TRL_ERR_CONFLICT or TRL_ERR_MEMORY; the store
 * then holds the bytes it held.
 */
uint32_t StoreMergeRuns(SegmentStore *store, RunList *list);

/* As StoreMergeRuns(), with the segments of another store; other is empty afterwards on success. */
uint32_t StoreMergeStore(SegmentStore *store, SegmentStore *other);

#endif
