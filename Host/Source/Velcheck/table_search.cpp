/* Finding the checksum info table: see table_search.h. */
#include "table_search.h"

#include <cstring>

#include "trellan.h"

namespace {

const uint8_t MAGIC_BYTES[4] = {0x37, 0x55, 0xAA, 0x23};
const uint64_t ADDRESS_SPACE_SIZE = 0x100000000;

uint32_t ReadLittleEndian(const uint8_t *bytes, unsigned size) {
  uint32_t value = 0;
  while (size-- > 0) {
    value = value << 8 | bytes[size];
  }
  return value;
}

/*
 * The entry count of a header at data (size bytes of one segment from there
 * on) whose list CRC holds, walking its entries once: the counts c, c + 256,
 * ... are tried as the walk reaches them, and the walk ends where an entry
 * leaves the segment or is not one Velmark writes. Entries ascend strictly,
 * so an entry beginning with the magic bytes can start no second header in a
 * walk: two headers share at most one walk's entries, and the search stays
 * linear.
 */
bool FindEntryCount(const uint8_t *data, uint32_t size, uint32_t *entryCount) {
  const uint16_t storedCrc = static_cast<uint16_t>(ReadLittleEndian(data + 8, 2));
  uint32_t count = 0;
  uint32_t nextTry = data[4];
  uint16_t crc = CIT_CRC_INITIAL_VALUE;
  uint64_t previousEnd = 0;
  for (uint32_t offset = CIT_HEADER_SIZE;; offset += CIT_ENTRY_SIZE) {
    if (count == nextTry) {
      if (crc == storedCrc) {
        *entryCount = count;
        return true;
      }
      nextTry += 256;
    }
    if (size - offset < CIT_ENTRY_SIZE) {
      return false;
    }
    const uint64_t address = ReadLittleEndian(data + offset, 4);
    const uint64_t length = ReadLittleEndian(data + offset + 4, 4);
    if (length == 0 || address < previousEnd || address + length > ADDRESS_SPACE_SIZE) {
      return false;
    }
    previousEnd = address + length;
    crc = CalculateChecksumInfoCrc16(crc, data + offset, CIT_ENTRY_SIZE);
    ++count;
  }
}

}  // namespace

bool FindChecksumInfoTable(CitReadFunction read, uint32_t *tableAddress, CitResult *header) {
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
      uint32_t entryCount = 0;
      if (segmentLength - offset < CIT_HEADER_SIZE || memcmp(data + offset, MAGIC_BYTES, 4) != 0 ||
          !FindEntryCount(data + offset, segmentLength - offset, &entryCount)) {
        continue;
      }
      /* The checker has the last word, over exactly the table found. */
      *header = CheckChecksumInfoTableHeader(read, NULL, segmentAddress + offset,
                                             CIT_HEADER_SIZE + CIT_ENTRY_SIZE * entryCount);
      if (header->status == CIT_STATUS_VALID) {
        *tableAddress = segmentAddress + offset;
        return true;
      }
    }
  }
  return false;
}
