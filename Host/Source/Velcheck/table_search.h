/* Where the checksum info tables of a loaded image are, and the room each is given. */
#ifndef VELCHECK_TABLE_SEARCH_H
#define VELCHECK_TABLE_SEARCH_H

#include <cstdint>
#include <vector>

#include "checksum_info_table.h"

/*
 * The room Velcheck gives the table at tableAddress in the image libtrellan
 * holds: the table's own size as the image shows it. That is the header and
 * then every 10 bytes of the table's segment that read as an entry Velmark
 * could write: a non-empty range that ends at or below 0xFFFFFFFF and, when
 * ascending is true, starts at or after the end of the entry before. Erased
 * (0xFF) or zero bytes end it, so a table in its placeholder gets the room
 * of a placeholder that ends with it, a room in which Velmark made sure that
 * only its own count matches. A table's own entries always lie inside, so no
 * count is cut short. 0 when tableAddress is not in the image.
 */
uint32_t MeasureTableRoom(uint32_t tableAddress, bool ascending);

struct FoundTable {
  uint32_t address;
  CitResult header; /* the checker's: CIT_STATUS_VALID or CIT_STATUS_COUNT_AMBIGUOUS */
};

/*
 * Searches the image, lowest address first, for every table: the bytes
 * 37 55 AA 23 at the start of a header whose list CRC matches an entry count
 * above 0 over entries as Velmark writes them (ascending, see
 * MeasureTableRoom()). The list CRC vouches that the entries are as written,
 * so this loses no table Velmark made with one entry or more, and no empty
 * header (a count of 0 and the CRC of nothing) is taken as a table. The
 * checker then reads each header in that room, and has the last word. Time
 * linear in the image's size whatever the image holds: addresses ascend
 * through a walk, and a header read as an entry always has the same one, so
 * no 10 bytes are walked as an entry from more than two headers.
 */
std::vector<FoundTable> FindChecksumInfoTables(void);

#endif
