/* Where the checksum info tables of a loaded image are, and what is wrong with those that fail. */
#ifndef VELCHECK_TABLE_SEARCH_H
#define VELCHECK_TABLE_SEARCH_H

#include <cstdint>
#include <vector>

#include "checksum_info_table.h"
#include "table_room.h"

struct FoundHeader {
  uint32_t address;
  CitResult header; /* the checker's, or CIT_STATUS_MAGIC_WRONG for a header one magic byte off */
  TableRoom room;   /* the room the header was read in */
};

/*
 * Searches the image, lowest address first, for every header, each read by
 * the checker in the room MeasureTableRoom() gives with ascending entries,
 * as Velmark writes them:
 * - the magic 37 55 AA 23, unless the image holds the three reserved bytes
 *   after the count and they are not 00 00 00 (code or data that happens to
 *   hold the magic): such a header is kept only when the checker reads it as
 *   a table with entries, or as ambiguous;
 * - three of the four magic bytes before 00 00 00, when the checker, given
 *   the whole magic there, reads a table with entries or an ambiguous one: a
 *   table whose magic was damaged (status CIT_STATUS_MAGIC_WRONG).
 * So no table that one damaged byte breaks is passed over. Time linear in
 * the image's size whatever it holds: entries ascend through a walk, and a
 * header read as an entry has nearly the same address as any other, so few
 * walks read the same 10 bytes as an entry.
 */
std::vector<FoundHeader> FindChecksumInfoTables(void);

#endif
