/*
 * Fuzz target: the firmware-side checker over arbitrary table and image bytes,
 * addresses and reserved sizes, as on a device whose flash may be corrupt.
 * It must end; it must ask only for ranges of 1 to CIT_READ_CHUNK_SIZE bytes
 * that stay below 0xFFFFFFFF, the header check only inside the reserved size;
 * it may use only the bytes a read gave: every other byte of its buffer is
 * scribbled over at each read; and a header it takes is the only count that
 * matches in the room.
 */
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../velcheck/reference_table.h"
#include "checksum_info_table.h"

namespace {

struct FuzzImage {
  uint32_t base;
  const uint8_t *bytes;
  uint32_t size;            /* cut so that the image ends at or below 0xFFFFFFFF */
  uint64_t allowedStart;    /* reads must lie in [allowedStart, allowedEnd) */
  uint64_t allowedEnd;
  uint8_t scribble; /* changes at every read */
};

/* Copies the image's bytes into the checker's buffer and scribbles over the rest of it. */
int ReadFuzzImage(void *context, uint32_t address, uint32_t length, uint8_t *buffer) {
  auto *image = static_cast<FuzzImage *>(context);
  const uint64_t end = uint64_t{address} + length;
  if (length == 0 || length > CIT_READ_CHUNK_SIZE || end > uint64_t{1} << 32 || address < image->allowedStart ||
      end > image->allowedEnd) {
    std::abort();
  }
  image->scribble = static_cast<uint8_t>(image->scribble * 5 + 1);
  std::memset(buffer, image->scribble, CIT_READ_CHUNK_SIZE);
  if (address < image->base || end > uint64_t{image->base} + image->size) {
    return 0;
  }
  std::memcpy(buffer, image->bytes + (address - image->base), length);
  return 1;
}

/* How many of the counts the checker tries give the stored list CRC (over readable bytes only). */
uint32_t CountMatchingCounts(const std::vector<uint8_t> &bytes, size_t tableOffset, uint64_t room) {
  const uint16_t storedCrc = static_cast<uint16_t>(bytes[tableOffset + 8] | bytes[tableOffset + 9] << 8);
  uint32_t matches = 0;
  for (uint64_t count = bytes[tableOffset + 4]; 10 + 10 * count <= room; count += 256) {
    matches += ReferenceCrc16(bytes.data() + tableOffset + 10, 10 * count) == storedCrc ? 1 : 0;
  }
  return matches;
}

uint32_t Little32(const uint8_t *bytes) {
  return static_cast<uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16) | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

/*
 * Input: flags byte, reserved size, image base address, table offset from the
 * base (each 4 bytes, little-endian), then the image bytes. Flag bit 0 writes
 * the right list CRC for the count byte's count, so that entries get checked.
 */
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 13) {
    return 0;
  }
  const uint32_t reservedSize = Little32(data + 1);
  const uint32_t base = Little32(data + 5);
  const uint32_t tableAddress = base + Little32(data + 9);
  std::vector<uint8_t> bytes(data + 13, data + size);
  const uint64_t room = (uint64_t{1} << 32) - base;
  if (bytes.size() > room) {
    bytes.resize(static_cast<size_t>(room));
  }
  const size_t tableOffset = tableAddress - base;
  if ((data[0] & 1) != 0 && tableOffset + 10 <= bytes.size() && tableOffset + 10 + 10 * bytes[tableOffset + 4] <= bytes.size()) {
    const uint16_t crc = ReferenceCrc16(bytes.data() + tableOffset + 10, 10 * bytes[tableOffset + 4]);
    bytes[tableOffset + 8] = static_cast<uint8_t>(crc);
    bytes[tableOffset + 9] = static_cast<uint8_t>(crc >> 8);
  }

  FuzzImage image = {base, bytes.data(), static_cast<uint32_t>(bytes.size()), tableAddress,
                     uint64_t{tableAddress} + reservedSize, 0};
  const CitResult header = CheckChecksumInfoTableHeader(ReadFuzzImage, &image, tableAddress, reservedSize);
  image.allowedStart = 0;
  image.allowedEnd = uint64_t{1} << 32;
  const CitResult result = CheckChecksumInfoTable(ReadFuzzImage, &image, tableAddress, reservedSize);

  const bool headerHolds = header.status == CIT_STATUS_VALID;
  const uint64_t tableEnd = uint64_t{tableAddress} + 10 + 10 * uint64_t{header.entryCount};
  if (result.entryCount != header.entryCount || (!headerHolds && (header.entryCount != 0 || result.status != header.status)) ||
      (headerHolds && (tableEnd - tableAddress > reservedSize || tableEnd > uint64_t{1} << 32 ||
                       (header.entryCount & 0xFF) != bytes[tableOffset + 4]))) {
    std::abort();
  }
  /* Taken: the one count that matches in the room; ambiguous: more than one does. */
  if (header.status == CIT_STATUS_VALID || header.status == CIT_STATUS_COUNT_AMBIGUOUS) {
    const uint64_t room = std::min<uint64_t>(reservedSize, (uint64_t{1} << 32) - tableAddress);
    const uint32_t matches = CountMatchingCounts(bytes, tableOffset, std::min<uint64_t>(room, bytes.size() - tableOffset));
    if ((header.status == CIT_STATUS_VALID) != (matches == 1)) {
      std::abort();
    }
  }
  if (headerHolds && result.status != CIT_STATUS_VALID) {
    const CitEntryResult entry = CheckChecksumInfoTableEntry(ReadFuzzImage, &image, tableAddress, result.failedIndex);
    if (result.failedIndex >= result.entryCount || entry.status != result.status) {
      std::abort();
    }
    /* A mismatch names the CRC that the image's bytes really give. */
    const size_t segmentOffset = entry.segmentAddress - base;
    if (result.status == CIT_STATUS_ENTRY_CRC_WRONG &&
        ReferenceCrc16(bytes.data() + segmentOffset, entry.segmentLength) != result.imageCrc) {
      std::abort();
    }
  }
  return 0;
}
