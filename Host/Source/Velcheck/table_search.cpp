/* Finding the checksum info tables: see table_search.h. */
#include "table_search.h"

#include <cstring>

#include "image_reader.h"
#include "trellan.h"

namespace {

const uint8_t MAGIC_BYTES[4] = {0x37, 0x55, 0xAA, 0x23};
const uint64_t ADDRESS_SPACE_SIZE = 0x100000000;

struct EntryWalk {
  uint32_t entryCount;    /* entries that read as Velmark could write them */
  bool matchesAboveZero;  /* a count above 0 among them gives the list CRC */
};

/*
 * Walks the entries after the header at data (size bytes of one segment from
 * there on, at least a header) as far as MeasureTableRoom() says, and tries
 * the counts c, c + 256, ... on the way.
 */
EntryWalk WalkEntries(const uint8_t *data, uint32_t size, bool ascending) {
  const uint16_t storedCrc = static_cast<uint16_t>(ReadLittleEndian(data + 8, 2));
  EntryWalk walk = {0, false};
  uint32_t nextTry = data[4];
  uint16_t crc = CIT_CRC_INITIAL_VALUE;
  uint64_t previousEnd = 0;
  for (uint32_t offset = CIT_HEADER_SIZE;; offset += CIT_ENTRY_SIZE) {
    if (walk.entryCount == nextTry) {
      walk.matchesAboveZero |= crc == storedCrc && walk.entryCount > 0;
      nextTry += 256;
    }
    if (size - offset < CIT_ENTRY_SIZE) {
      return walk;
    }
    const uint64_t address = ReadLittleEndian(data + offset, 4);
    const uint64_t length = ReadLittleEndian(data + offset + 4, 4);
    if (length == 0 || address + length > ADDRESS_SPACE_SIZE || (ascending && address < previousEnd)) {
      return walk;
    }
    previousEnd = address + length;
    crc = CalculateChecksumInfoCrc16(crc, data + offset, CIT_ENTRY_SIZE);
    ++walk.entryCount;
  }
}

}  // namespace

uint32_t MeasureTableRoom(uint32_t tableAddress, bool ascending) {
  uint32_t segmentAddress = 0;
  uint32_t segmentLength = 0;
  const uint8_t *data = FindSegmentAt(tableAddress, &segmentAddress, &segmentLength);
  if (data == NULL) {
    return 0;
  }
  const uint32_t offset = tableAddress - segmentAddress;
  if (segmentLength - offset < CIT_HEADER_SIZE) {
    return segmentLength - offset;
  }
  return CIT_HEADER_SIZE + CIT_ENTRY_SIZE * WalkEntries(data + offset, segmentLength - offset, ascending).entryCount;
}

std::vector<FoundTable> FindChecksumInfoTables(void) {
  std::vector<FoundTable> tables;
  for (uint32_t index = 0; index < TrlFirmwareGetSegmentCount(); ++index) {
    uint32_t segmentAddress = 0;
    uint32_t segmentLength = 0;
    const uint8_t *data = TrlFirmwareGetSegment(index, &segmentAddress, &segmentLength);
    for (uint32_t offset = 0; segmentLength - offset >= CIT_HEADER_SIZE; ++offset) {
      const void *next = memchr(data + offset, MAGIC_BYTES[0], segmentLength - offset);
      if (next == NULL) {
        break;
      }
      offset = static_cast<uint32_t>(static_cast<const uint8_t *>(next) - data);
      if (segmentLength - offset < CIT_HEADER_SIZE || memcmp(data + offset, MAGIC_BYTES, 4) != 0) {
        continue;
      }
      const EntryWalk walk = WalkEntries(data + offset, segmentLength - offset, true);
      if (!walk.matchesAboveZero) {
        continue;
      }
      const FoundTable table = {
          segmentAddress + offset,
          CheckChecksumInfoTableHeader(ReadImage, NULL, segmentAddress + offset,
                                       CIT_HEADER_SIZE + CIT_ENTRY_SIZE * walk.entryCount)};
      if (table.header.status == CIT_STATUS_VALID || table.header.status == CIT_STATUS_COUNT_AMBIGUOUS) {
        tables.push_back(table);
      }
    }
  }
  return tables;
}
