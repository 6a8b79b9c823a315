/* Finding the checksum info table in a loaded image when no address is given. */
#ifndef VELCHECK_TABLE_SEARCH_H
#define VELCHECK_TABLE_SEARCH_H

#include <cstdint>

#include "checksum_info_table.h"

/*
 * Searches the image libtrellan holds, lowest address first, for the bytes
 * 37 55 AA 23 at the start of a header whose list CRC holds over entries as
 * Velmark writes them: each names a non-empty range below 2^32 that starts
 * at or after the end of the one before. The list CRC vouches that the
 * entries are as written, so this loses no table Velmark made, and it keeps
 * the search linear in the image's size whatever the image holds.
 *
 * Any count the count byte allows is tried (c, c + 256, ...) as long as the
 * entries stay in the table's segment, so a table is found also where the
 * image has fewer segments than the table has entries (gaps filled, a read
 * back of flash, a table file on its own).
 *
 * The header found is confirmed by the checker itself (read over the image).
 * Returns true with its address and the checker's result, or false.
 */
bool FindChecksumInfoTable(CitReadFunction read, uint32_t *tableAddress, CitResult *header);

#endif
