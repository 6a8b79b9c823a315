/*
 * Checksum info table checker, for firmware and host tools alike.
 *
 * Checks the checksum info table that Velmark adds to an image against the
 * image's own bytes: the header first (magic, list CRC), then each entry's
 * segment against its CRC. Freestanding C99: it includes only <stdint.h> and
 * <stddef.h>, allocates nothing, keeps no state between calls, calls no
 * library function and is reentrant. Fields are read byte by byte, least
 * significant first, so the target's byte order does not matter.
 *
 * Table layout (every field little-endian), n entries:
 *   offset 0       4 bytes  magic 0x23AA5537 (bytes 37 55 AA 23)
 *   offset 4       1 byte   n, low 8 bits only
 *   offset 5       3 bytes  reserved (not read)
 *   offset 8       2 bytes  CRC over the n entries (bytes 10 to 10 + 10n - 1)
 *   offset 10+10i  4 bytes  segment i: address
 *   offset 14+10i  4 bytes  segment i: length in bytes
 *   offset 18+10i  2 bytes  segment i: CRC of its bytes
 * Every CRC is CRC-16/CCITT-FALSE (polynomial 0x1021, initial value 0xFFFF,
 * no reflection, no final XOR).
 *
 * Every byte, the table's own included, is read through a function the
 * caller supplies (CitReadFunction), so the same code checks memory-mapped
 * flash, external flash or an image held by a host tool.
 */
#ifndef CHECKSUM_INFO_TABLE_H
#define CHECKSUM_INFO_TABLE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CIT_MAGIC 0x23AA5537u
#define CIT_HEADER_SIZE 10u
#define CIT_ENTRY_SIZE 10u
#define CIT_CRC_INITIAL_VALUE 0xFFFFu

/*
 * The most bytes the checker asks for in one read (at least 10), and the size
 * of the buffer it reads into, on its own stack: a check needs about this
 * much stack and no more. May be set on the compiler's command line for both
 * this header's users and the .c file.
 */
#ifndef CIT_READ_CHUNK_SIZE
#define CIT_READ_CHUNK_SIZE 64u
#endif

/*
 * Copies the length bytes of the image that begin at address (length 1 to
 * CIT_READ_CHUNK_SIZE) into buffer; returns 1 when all were copied, 0 when
 * they cannot all be given. buffer is the checker's own, CIT_READ_CHUNK_SIZE
 * bytes on its stack; it uses only the first length bytes, and none after a
 * 0. The checker never asks for a range that runs past 0xFFFFFFFF. context is
 * passed through untouched.
 *
 * A reader of memory-mapped flash checks that the range lies in flash (the
 * table comes from flash that may be corrupt, and may name any address), then
 * copies with a plain loop. Where flash begins at address 0, only the reader
 * dereferences that address: compile it with -fno-delete-null-pointer-checks.
 */
typedef int (*CitReadFunction)(void *context, uint32_t address, uint32_t length,
                               uint8_t *buffer);

/* Outcome of a check. The values are fixed; they may be stored or sent. */
typedef enum {
  CIT_STATUS_VALID = 0,             /* the header holds, or the entry's segment matches */
  CIT_STATUS_MAGIC_WRONG = 1,       /* the first four bytes are not 37 55 AA 23 */
  CIT_STATUS_LIST_CRC_WRONG = 2,    /* no possible entry count gives the list CRC */
  CIT_STATUS_TABLE_UNREADABLE = 3,  /* a read of the table was refused, or it does not fit */
  CIT_STATUS_ENTRY_CRC_WRONG = 4,   /* a segment's bytes give another CRC than its entry */
  CIT_STATUS_ENTRY_BYTES_MISSING = 5, /* a segment's bytes cannot all be read */
  CIT_STATUS_COUNT_AMBIGUOUS = 6      /* more than one entry count gives the list CRC */
} CitStatus;

typedef struct {
  CitStatus status;
  uint32_t entryCount;  /* entries the header announces; 0 unless the header holds */
  uint32_t failedIndex; /* first entry that failed, once the header holds; else 0 */
  uint16_t imageCrc;    /* for CIT_STATUS_ENTRY_CRC_WRONG: the CRC the image gives; else 0 */
} CitResult;

typedef struct {
  CitStatus status;        /* VALID, ENTRY_CRC_WRONG, ENTRY_BYTES_MISSING or TABLE_UNREADABLE */
  uint32_t segmentAddress; /* the entry's fields, when it could be read */
  uint32_t segmentLength;
  uint16_t storedCrc;
  uint16_t imageCrc; /* the CRC of the segment's bytes, when they could all be read */
} CitEntryResult;

/*
 * Continues a CRC-16/CCITT-FALSE over length bytes of data. Start with
 * CIT_CRC_INITIAL_VALUE; the result of one call is the crc of the next, so
 * a range may be fed in pieces. "123456789" gives 0x29B1, no bytes 0xFFFF.
 * Bitwise by default (smallest code); compiled with
 * CHECKSUM_INFO_TABLE_CRC_TABLE=1 it uses a 256-entry table (512 bytes of
 * constants): one lookup per byte instead of eight shift steps.
 */
uint16_t CalculateChecksumInfoCrc16(uint16_t crc, const uint8_t *data, uint32_t length);

/*
 * Checks the table at tableAddress: its header, then every entry in order,
 * stopping at the first entry that fails. No entry is read as a segment
 * before the magic and the list CRC hold.
 *
 * reservedSize is the room the image keeps for the table from tableAddress
 * on (the placeholder's size). The count byte holds only the low 8 bits of
 * the entry count c, so every count c, c + 256, c + 512, ... whose table
 * (10 + 10 * count bytes) fits into reservedSize, and below 0xFFFFFFFF, is
 * tried, the list CRC computed in one pass over the entries. A count is taken
 * only when it is the one that matches; when two or more match, the header is
 * CIT_STATUS_COUNT_AMBIGUOUS (never VALID), when none does,
 * CIT_STATUS_LIST_CRC_WRONG. So reservedSize must be readable as far as the
 * largest count that fits, and must hold the whole table: a reservedSize below
 * 10 + 10 * c leaves no count to try (CIT_STATUS_TABLE_UNREADABLE), and one
 * that cuts a longer table short may find a shorter count alone.
 * Any read the function refuses while checking the header gives
 * CIT_STATUS_TABLE_UNREADABLE as well; a NULL read function does too.
 *
 * Returns the status with the entry count and, for a failing entry, its
 * index and the CRC its bytes give.
 */
CitResult CheckChecksumInfoTable(CitReadFunction read, void *context, uint32_t tableAddress,
                                 uint32_t reservedSize);

/*
 * Checks only the header, as CheckChecksumInfoTable() does: status VALID,
 * MAGIC_WRONG, LIST_CRC_WRONG, COUNT_AMBIGUOUS or TABLE_UNREADABLE, and the
 * entry count.
 */
CitResult CheckChecksumInfoTableHeader(CitReadFunction read, void *context,
                                       uint32_t tableAddress, uint32_t reservedSize);

/*
 * Checks entry index of the table at tableAddress against the image: reads
 * the entry, then the segment's bytes, and compares their CRC with the
 * stored one. A segment that runs past 0xFFFFFFFF counts as missing bytes.
 * Trust the result only for an index below the entry count of a header that
 * CheckChecksumInfoTableHeader() found valid. TABLE_UNREADABLE means that
 * the entry itself could not be read.
 */
CitEntryResult CheckChecksumInfoTableEntry(CitReadFunction read, void *context,
                                           uint32_t tableAddress, uint32_t index);

#ifdef __cplusplus
}
#endif

#endif /* CHECKSUM_INFO_TABLE_H */
