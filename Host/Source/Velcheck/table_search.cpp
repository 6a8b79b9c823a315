/* Finding the checksum info tables: see table_search.h. */
#include "table_search.h"

#include <cstring>

#include "image_reader.h"
#include "trellan.h"

namespace {

const uint8_t MAGIC_BYTES[4] = {0x37, 0x55, 0xAA, 0x23};
const uint32_t RESERVED_OFFSET = 5;
const uint32_t RESERVED_SIZE = 3;

/* ReadImage(), but the four bytes at *context read as the magic: a damaged magic's table as written. */
int ReadImageWithMagic(void *context, uint32_t address, uint32_t length, uint8_t *buffer) {
  const uint32_t magicAddress = *static_cast<const uint32_t *>(context);
  if (!ReadImage(NULL, address, length, buffer)) {
    return 0;
  }
  for (uint32_t index = 0; index < 4; ++index) {
    if (magicAddress + index - address < length) {
      buffer[magicAddress + index - address] = MAGIC_BYTES[index];
    }
  }
  return 1;
}

bool IsTableWithEntries(const CitResult &header) {
  return (header.status == CIT_STATUS_VALID && header.entryCount > 0) ||
         header.status == CIT_STATUS_COUNT_AMBIGUOUS;
}

}  // namespace

std::vector<FoundHeader> FindChecksumInfoTables(void) {
  std::vector<FoundHeader> found;
  for (uint32_t index = 0; index < TrlFirmwareGetSegmentCount(); ++index) {
    uint32_t segmentAddress = 0;
    uint32_t segmentLength = 0;
    const uint8_t *data = TrlFirmwareGetSegment(index, &segmentAddress, &segmentLength);
    for (uint32_t offset = 0; segmentLength - offset >= sizeof MAGIC_BYTES; ++offset) {
      /* Three magic bytes of four take the first or the second. */
      if (data[offset] != MAGIC_BYTES[0] && data[offset + 1] != MAGIC_BYTES[1]) {
        continue;
      }
      unsigned magicMatches = 0;
      for (unsigned byte = 0; byte < sizeof MAGIC_BYTES; ++byte) {
        magicMatches += data[offset + byte] == MAGIC_BYTES[byte] ? 1 : 0;
      }
      const bool reservedHeld = segmentLength - offset >= RESERVED_OFFSET + RESERVED_SIZE;
      const bool reservedZero = reservedHeld && memcmp(data + offset + RESERVED_OFFSET, "\0\0\0", RESERVED_SIZE) == 0;
      if (magicMatches < 3 || (magicMatches == 3 && !reservedZero)) {
        continue;
      }
      uint32_t address = segmentAddress + offset;
      FoundHeader header = {address, {}, MeasureTableRoom(ReadImage, NULL, address, true)};
      if (magicMatches == 4) {
        header.header = CheckChecksumInfoTableHeader(ReadImage, NULL, address, header.room.size);
        if (IsTableWithEntries(header.header) || !reservedHeld || reservedZero) {
          found.push_back(header);
        }
      } else if (IsTableWithEntries(
                     CheckChecksumInfoTableHeader(ReadImageWithMagic, &address, address, header.room.size))) {
        header.header.status = CIT_STATUS_MAGIC_WRONG;
        found.push_back(header);
      }
    }
  }
  return found;
}
