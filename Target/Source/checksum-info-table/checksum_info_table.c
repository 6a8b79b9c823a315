/* Checksum info table checker: see checksum_info_table.h for the contract. */
#include "checksum_info_table.h"

#if CIT_READ_CHUNK_SIZE < 10
#error "CIT_READ_CHUNK_SIZE must hold a whole header or entry (10 bytes)"
#endif

#define CIT_LAST_ADDRESS 0xFFFFFFFFu
/* Counts that share one count byte lie 256 entries apart. */
#define CIT_COUNT_STEP_SIZE (256u * CIT_ENTRY_SIZE)

#if defined(CHECKSUM_INFO_TABLE_CRC_TABLE) && CHECKSUM_INFO_TABLE_CRC_TABLE

/* crcTable[x]: the register after shifting the byte x through it from 0. */
static const uint16_t crcTable[256] = {
    0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7,
    0x8108, 0x9129, 0xA14A, 0xB16B, 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF,
    0x1231, 0x0210, 0x3273, 0x2252, 0x52B5, 0x4294, 0x72F7, 0x62D6,
    0x9339, 0x8318, 0xB37B, 0xA35A, 0xD3BD, 0xC39C, 0xF3FF, 0xE3DE,
    0x2462, 0x3443, 0x0420, 0x1401, 0x64E6, 0x74C7, 0x44A4, 0x5485,
    0xA56A, 0xB54B, 0x8528, 0x9509, 0xE5EE, 0xF5CF, 0xC5AC, 0xD58D,
    0x3653, 0x2672, 0x1611, 0x0630, 0x76D7, 0x66F6, 0x5695, 0x46B4,
    0xB75B, 0xA77A, 0x9719, 0x8738, 0xF7DF, 0xE7FE, 0xD79D, 0xC7BC,
    0x48C4, 0x58E5, 0x6886, 0x78A7, 0x0840, 0x1861, 0x2802, 0x3823,
    0xC9CC, 0xD9ED, 0xE98E, 0xF9AF, 0x8948, 0x9969, 0xA90A, 0xB92B,
    0x5AF5, 0x4AD4, 0x7AB7, 0x6A96, 0x1A71, 0x0A50, 0x3A33, 0x2A12,
    0xDBFD, 0xCBDC, 0xFBBF, 0xEB9E, 0x9B79, 0x8B58, 0xBB3B, 0xAB1A,
    0x6CA6, 0x7C87, 0x4CE4, 0x5CC5, 0x2C22, 0x3C03, 0x0C60, 0x1C41,
    0xEDAE, 0xFD8F, 0xCDEC, 0xDDCD, 0xAD2A, 0xBD0B, 0x8D68, 0x9D49,
    0x7E97, 0x6EB6, 0x5ED5, 0x4EF4, 0x3E13, 0x2E32, 0x1E51, 0x0E70,
    0xFF9F, 0xEFBE, 0xDFDD, 0xCFFC, 0xBF1B, 0xAF3A, 0x9F59, 0x8F78,
    0x9188, 0x81A9, 0xB1CA, 0xA1EB, 0xD10C, 0xC12D, 0xF14E, 0xE16F,
    0x1080, 0x00A1, 0x30C2, 0x20E3, 0x5004, 0x4025, 0x7046, 0x6067,
    0x83B9, 0x9398, 0xA3FB, 0xB3DA, 0xC33D, 0xD31C, 0xE37F, 0xF35E,
    0x02B1, 0x1290, 0x22F3, 0x32D2, 0x4235, 0x5214, 0x6277, 0x7256,
    0xB5EA, 0xA5CB, 0x95A8, 0x8589, 0xF56E, 0xE54F, 0xD52C, 0xC50D,
    0x34E2, 0x24C3, 0x14A0, 0x0481, 0x7466, 0x6447, 0x5424, 0x4405,
    0xA7DB, 0xB7FA, 0x8799, 0x97B8, 0xE75F, 0xF77E, 0xC71D, 0xD73C,
    0x26D3, 0x36F2, 0x0691, 0x16B0, 0x6657, 0x7676, 0x4615, 0x5634,
    0xD94C, 0xC96D, 0xF90E, 0xE92F, 0x99C8, 0x89E9, 0xB98A, 0xA9AB,
    0x5844, 0x4865, 0x7806, 0x6827, 0x18C0, 0x08E1, 0x3882, 0x28A3,
    0xCB7D, 0xDB5C, 0xEB3F, 0xFB1E, 0x8BF9, 0x9BD8, 0xABBB, 0xBB9A,
    0x4A75, 0x5A54, 0x6A37, 0x7A16, 0x0AF1, 0x1AD0, 0x2AB3, 0x3A92,
    0xFD2E, 0xED0F, 0xDD6C, 0xCD4D, 0xBDAA, 0xAD8B, 0x9DE8, 0x8DC9,
    0x7C26, 0x6C07, 0x5C64, 0x4C45, 0x3CA2, 0x2C83, 0x1CE0, 0x0CC1,
    0xEF1F, 0xFF3E, 0xCF5D, 0xDF7C, 0xAF9B, 0xBFBA, 0x8FD9, 0x9FF8,
    0x6E17, 0x7E36, 0x4E55, 0x5E74, 0x2E93, 0x3EB2, 0x0ED1, 0x1EF0,
};

uint16_t CalculateChecksumInfoCrc16(uint16_t crc, const uint8_t *data, uint32_t length) {
  uint32_t index;
  for (index = 0; index < length; ++index) {
    crc = (uint16_t)((crc << 8) ^ crcTable[(crc >> 8) ^ data[index]]);
  }
  return crc;
}

#else

uint16_t CalculateChecksumInfoCrc16(uint16_t crc, const uint8_t *data, uint32_t length) {
  uint32_t index;
  unsigned bit;
  for (index = 0; index < length; ++index) {
    crc = (uint16_t)(crc ^ ((unsigned)data[index] << 8));
    for (bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000u) != 0 ? (uint16_t)((crc << 1) ^ 0x1021u) : (uint16_t)(crc << 1);
    }
  }
  return crc;
}

#endif

static uint32_t ReadLittleEndian(const uint8_t *bytes, unsigned size) {
  uint32_t value = 0;
  while (size-- > 0) {
    value = value << 8 | bytes[size];
  }
  return value;
}

/*
 * Continues *crc over the image's bytes [address, address + length), read in
 * chunks into buffer (CIT_READ_CHUNK_SIZE bytes). Returns 0 when a read is
 * refused or the range runs past 0xFFFFFFFF.
 */
static int ContinueImageCrc(CitReadFunction read, void *context, uint32_t address,
                            uint32_t length, uint8_t *buffer, uint16_t *crc) {
  if (length != 0 && address > CIT_LAST_ADDRESS - (length - 1u)) {
    return 0;
  }
  while (length != 0) {
    const uint32_t chunk = length < CIT_READ_CHUNK_SIZE ? length : CIT_READ_CHUNK_SIZE;
    if (!read(context, address, chunk, buffer)) {
      return 0;
    }
    *crc = CalculateChecksumInfoCrc16(*crc, buffer, chunk);
    address += chunk; /* wraps to 0 only after the very last chunk */
    length -= chunk;
  }
  return 1;
}

CitResult CheckChecksumInfoTableHeader(CitReadFunction read, void *context,
                                       uint32_t tableAddress, uint32_t reservedSize) {
  CitResult result = {CIT_STATUS_TABLE_UNREADABLE, 0u, 0u, 0u};
  uint8_t buffer[CIT_READ_CHUNK_SIZE];
  uint32_t count;
  uint32_t storedCrc;
  uint32_t room;
  uint32_t listSize;
  uint32_t checkedSize = 0;
  uint32_t matchCount = 0;
  uint32_t matchedCount = 0;
  uint16_t crc = CIT_CRC_INITIAL_VALUE;

  if (read == NULL || reservedSize < CIT_HEADER_SIZE ||
      tableAddress > CIT_LAST_ADDRESS - (CIT_HEADER_SIZE - 1u) ||
      !read(context, tableAddress, CIT_HEADER_SIZE, buffer)) {
    return result;
  }
  if (ReadLittleEndian(buffer, 4) != CIT_MAGIC) {
    result.status = CIT_STATUS_MAGIC_WRONG;
    return result;
  }
  count = buffer[4];
  storedCrc = ReadLittleEndian(buffer + 8, 2);

  /* Room for entries: the reserved size, but never past the top of the address space. */
  room = reservedSize - CIT_HEADER_SIZE;
  if (room > CIT_LAST_ADDRESS - tableAddress - (CIT_HEADER_SIZE - 1u)) {
    room = CIT_LAST_ADDRESS - tableAddress - (CIT_HEADER_SIZE - 1u);
  }
  listSize = count * CIT_ENTRY_SIZE;
  if (listSize > room) {
    return result;
  }
  /*
   * One pass over every count that fits: the CRC of a longer candidate
   * continues the shorter one's. A second match means the header cannot say
   * which table it heads, and a table read short leaves entries unchecked.
   */
  for (;;) {
    if (!ContinueImageCrc(read, context, tableAddress + CIT_HEADER_SIZE + checkedSize,
                          listSize - checkedSize, buffer, &crc)) {
      return result;
    }
    checkedSize = listSize;
    if (crc == storedCrc) {
      ++matchCount;
      matchedCount = count;
    }
    if (room - listSize < CIT_COUNT_STEP_SIZE) {
      break;
    }
    listSize += CIT_COUNT_STEP_SIZE;
    count += 256u;
  }
  if (matchCount == 1) {
    result.status = CIT_STATUS_VALID;
    result.entryCount = matchedCount;
  } else {
    result.status = matchCount == 0 ? CIT_STATUS_LIST_CRC_WRONG : CIT_STATUS_COUNT_AMBIGUOUS;
  }
  return result;
}

CitEntryResult CheckChecksumInfoTableEntry(CitReadFunction read, void *context,
                                           uint32_t tableAddress, uint32_t index) {
  CitEntryResult result = {CIT_STATUS_TABLE_UNREADABLE, 0u, 0u, 0u, 0u};
  uint8_t buffer[CIT_READ_CHUNK_SIZE];
  uint32_t entryEnd;
  uint16_t crc = CIT_CRC_INITIAL_VALUE;

  if (read == NULL ||
      index > (CIT_LAST_ADDRESS - CIT_HEADER_SIZE - CIT_ENTRY_SIZE) / CIT_ENTRY_SIZE) {
    return result;
  }
  /* Offset of the entry's last byte; the entry must end at or below 0xFFFFFFFF. */
  entryEnd = CIT_HEADER_SIZE + index * CIT_ENTRY_SIZE + (CIT_ENTRY_SIZE - 1u);
  if (tableAddress > CIT_LAST_ADDRESS - entryEnd ||
      !read(context, tableAddress + entryEnd - (CIT_ENTRY_SIZE - 1u), CIT_ENTRY_SIZE, buffer)) {
    return result;
  }
  result.segmentAddress = ReadLittleEndian(buffer, 4);
  result.segmentLength = ReadLittleEndian(buffer + 4, 4);
  result.storedCrc = (uint16_t)ReadLittleEndian(buffer + 8, 2);
  if (!ContinueImageCrc(read, context, result.segmentAddress, result.segmentLength, buffer,
                        &crc)) {
    result.status = CIT_STATUS_ENTRY_BYTES_MISSING;
    return result;
  }
  result.imageCrc = crc;
  result.status = crc == result.storedCrc ? CIT_STATUS_VALID : CIT_STATUS_ENTRY_CRC_WRONG;
  return result;
}

CitResult CheckChecksumInfoTable(CitReadFunction read, void *context, uint32_t tableAddress,
                                 uint32_t reservedSize) {
  CitResult result = CheckChecksumInfoTableHeader(read, context, tableAddress, reservedSize);
  uint32_t index;
  for (index = 0; result.status == CIT_STATUS_VALID && index < result.entryCount; ++index) {
    const CitEntryResult entry = CheckChecksumInfoTableEntry(read, context, tableAddress, index);
    if (entry.status != CIT_STATUS_VALID) {
      result.status = entry.status;
      result.failedIndex = index;
      if (entry.status == CIT_STATUS_ENTRY_CRC_WRONG) {
        result.imageCrc = entry.imageCrc;
      }
    }
  }
  return result;
}
