/* Reading the held image: see image_reader.h. */
#include "image_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "checksum_info_table.h"
#include "trellan.h"

namespace {

const uint32_t PREFIX_STRIDE = 32;
const uint16_t CRC_POLYNOMIAL = 0x1021;

/* prefixCrcs[s][k]: the CRC from 0 (no initial value) of segment s's first k * 32 bytes. */
std::vector<std::vector<uint16_t>> prefixCrcs;
/* zeroShifts[k]: x^(8 * 2^k) modulo the CRC polynomial, for shifting by 2^k zero bytes. */
uint16_t zeroShifts[32];

/* a * b modulo x^16 + 0x1021, in GF(2). */
uint16_t MultiplyModulo(uint16_t a, uint16_t b) {
  uint16_t product = 0;
  for (int bit = 15; bit >= 0; --bit) {
    product = static_cast<uint16_t>((product & 0x8000) != 0 ? (product << 1) ^ CRC_POLYNOMIAL : product << 1);
    if ((b >> bit & 1) != 0) {
      product ^= a;
    }
  }
  return product;
}

/*
 * The CRC register after byteCount zero bytes more. The CRC is linear: the
 * register after X then Y is ShiftCrc(register after X, |Y|) xor the CRC of Y
 * from 0, which is how a range is cut out of two prefixes.
 */
uint16_t ShiftCrc(uint16_t crc, uint32_t byteCount) {
  for (unsigned bit = 0; byteCount != 0; ++bit, byteCount >>= 1) {
    if ((byteCount & 1) != 0) {
      crc = MultiplyModulo(crc, zeroShifts[bit]);
    }
  }
  return crc;
}

/* As FindSegmentAt(), and the segment's index into *index. */
const uint8_t *FindSegmentIndexAt(uint32_t address, uint32_t *index, uint32_t *segmentAddress,
                                  uint32_t *segmentLength) {
  uint32_t low = 0;
  uint32_t high = TrlFirmwareGetSegmentCount();
  while (low < high) {
    const uint32_t middle = low + (high - low) / 2;
    TrlFirmwareGetSegment(middle, segmentAddress, segmentLength);
    if (*segmentAddress <= address) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low == 0) {
    return NULL;
  }
  *index = low - 1;
  const uint8_t *data = TrlFirmwareGetSegment(*index, segmentAddress, segmentLength);
  return address - *segmentAddress < *segmentLength ? data : NULL;
}

}  // namespace

const uint8_t *FindSegmentAt(uint32_t address, uint32_t *segmentAddress, uint32_t *segmentLength) {
  uint32_t index = 0;
  return FindSegmentIndexAt(address, &index, segmentAddress, segmentLength);
}

int ReadImage(void *context, uint32_t address, uint32_t length, uint8_t *buffer) {
  (void)context;
  uint32_t segmentAddress = 0;
  uint32_t segmentLength = 0;
  const uint8_t *data = FindSegmentAt(address, &segmentAddress, &segmentLength);
  const uint32_t offset = address - segmentAddress;
  if (data == NULL || length > segmentLength - offset) {
    return 0;
  }
  memcpy(buffer, data + offset, length);
  return 1;
}

void IndexImageCrcs(void) {
  zeroShifts[0] = 0x0100;
  for (unsigned bit = 1; bit < 32; ++bit) {
    zeroShifts[bit] = MultiplyModulo(zeroShifts[bit - 1], zeroShifts[bit - 1]);
  }
  prefixCrcs.assign(TrlFirmwareGetSegmentCount(), std::vector<uint16_t>());
  for (uint32_t index = 0; index < prefixCrcs.size(); ++index) {
    uint32_t segmentAddress = 0;
    uint32_t segmentLength = 0;
    const uint8_t *data = TrlFirmwareGetSegment(index, &segmentAddress, &segmentLength);
    std::vector<uint16_t> &prefixes = prefixCrcs[index];
    prefixes.reserve(segmentLength / PREFIX_STRIDE + 1);
    prefixes.push_back(0);
    for (uint32_t offset = 0; segmentLength - offset >= PREFIX_STRIDE; offset += PREFIX_STRIDE) {
      prefixes.push_back(CalculateChecksumInfoCrc16(prefixes.back(), data + offset, PREFIX_STRIDE));
    }
  }
}

void ReleaseImageCrcs(void) {
  std::vector<std::vector<uint16_t>>().swap(prefixCrcs);
}

bool CalculateImageRangeCrc(uint32_t address, uint32_t length, uint16_t *crc) {
  *crc = CIT_CRC_INITIAL_VALUE;
  if (length == 0) {
    return true;
  }
  uint32_t index = 0;
  uint32_t segmentAddress = 0;
  uint32_t segmentLength = 0;
  const uint8_t *data = FindSegmentIndexAt(address, &index, &segmentAddress, &segmentLength);
  const uint32_t start = address - segmentAddress;
  if (data == NULL || length > segmentLength - start || index >= prefixCrcs.size()) {
    return false;
  }
  const uint32_t end = start + length;
  const uint32_t strideStart = static_cast<uint32_t>(
      std::min<uint64_t>(end, (uint64_t{start} + PREFIX_STRIDE - 1) / PREFIX_STRIDE * PREFIX_STRIDE));
  const uint32_t strideEnd = std::max(strideStart, end / PREFIX_STRIDE * PREFIX_STRIDE);
  /* Whole strides come from two prefixes; the bytes before and after them are fed directly. */
  *crc = CalculateChecksumInfoCrc16(*crc, data + start, strideStart - start);
  if (strideEnd > strideStart) {
    const std::vector<uint16_t> &prefixes = prefixCrcs[index];
    *crc = ShiftCrc(*crc ^ prefixes[strideStart / PREFIX_STRIDE], strideEnd - strideStart) ^
           prefixes[strideEnd / PREFIX_STRIDE];
  }
  *crc = CalculateChecksumInfoCrc16(*crc, data + strideEnd, end - strideEnd);
  return true;
}
