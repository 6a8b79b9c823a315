/*
 * The room a reader gives a checksum info table: how far from the table's
 * address its header may read entries. Velmark and Velcheck both measure it
 * here, so that what Velmark makes sure of is what Velcheck reads.
 */
#ifndef TABLE_ROOM_H
#define TABLE_ROOM_H

#include <cstdint>

#include "checksum_info_table.h"

/* The value of size (1 to 4) bytes stored least significant first, as tables store numbers. */
uint32_t ReadLittleEndian(const uint8_t *bytes, unsigned size);

/* Why the 10 bytes after the last entry of a room are no entry. */
enum TableRoomEnd {
  TABLE_ROOM_END_IMAGE,      /* the image does not hold them */
  TABLE_ROOM_END_ERASED,     /* all 0xFF, as erased flash reads */
  TABLE_ROOM_END_EMPTY,      /* the range they name has no bytes */
  TABLE_ROOM_END_PAST_TOP,   /* the range they name runs past 0xFFFFFFFF */
  TABLE_ROOM_END_DESCENDING  /* the range they name starts below the end of the one before */
};

struct TableRoom {
  uint32_t size;       /* the header and entryCount entries; 0 when the header cannot be read */
  uint32_t entryCount; /* the entries in it */
  TableRoomEnd end;
};

/*
 * The room of the table at tableAddress, its bytes read through read: the
 * header and then every 10 bytes that read as an entry Velmark could write,
 * a non-empty range that ends at or below 0xFFFFFFFF and, when ascending is
 * true, starts at or after the end of the entry before. Erased (0xFF) or zero
 * bytes end it, so a table in its placeholder gets the room of a placeholder
 * that ends with it, and a table's own entries always lie inside, so no count
 * is cut short. Velcheck's search gives this room with ascending true, its -a
 * with ascending false.
 */
TableRoom MeasureTableRoom(CitReadFunction read, void *context, uint32_t tableAddress, bool ascending);

#endif
