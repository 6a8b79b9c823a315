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

/* A segment of the held image, and where its prefix CRCs start in prefixCrcs. */
struct HeldSegment {
  uint32_t address;
  uint32_t length;
  const uint8_t *data;
  size_t firstPrefix;
};

/* The image's segments, ascending: read once, since a call into the library per step of a search is slow. */
std::vector<HeldSegment> segments;
/* For each segment, one after another: the CRC from 0 (no initial value) of its first k * 32 bytes, k from 0. */
std::vector<uint16_t> prefixCrcs;
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

/* The segment that holds address, or null. Segments ascend and never touch, so a range inside the image lies in one. */
const HeldSegment *FindHeldSegment(uint32_t address) {
  auto after = std::upper_bound(segments.begin(), segments.end(), address,
                                [](uint32_t value, const HeldSegment &segment) { return value < segment.address; });
  if (after == segments.begin() || address - after[-1].address >= after[-1].length) {
    return NULL;
  }
  return &after[-1];
}

}  // namespace

int ReadImage(void *context, uint32_t address, uint32_t length, uint8_t *buffer) {
  (void)context;
  const HeldSegment *segment = FindHeldSegment(address);
  const uint32_t offset = address - (segment != NULL ? segment->address : 0);
  if (segment == NULL || length > segment->length - offset) {
    return 0;
  }
  memcpy(buffer, segment->data + offset, length);
  return 1;
}

void IndexImage(void) {
  zeroShifts[0] = 0x0100;
  for (unsigned bit = 1; bit < 32; ++bit) {
    zeroShifts[bit] = MultiplyModulo(zeroShifts[bit - 1], zeroShifts[bit - 1]);
  }
  const uint32_t segmentCount = TrlFirmwareGetSegmentCount();
  segments.resize(segmentCount);
  size_t prefixCount = 0;
  for (uint32_t index = 0; index < segmentCount; ++index) {
    HeldSegment &segment = segments[index];
    segment.data = TrlFirmwareGetSegment(index, &segment.address, &segment.length);
    segment.firstPrefix = prefixCount;
    prefixCount += segment.length / PREFIX_STRIDE + 1;
  }
  prefixCrcs.resize(prefixCount);
  for (const HeldSegment &segment : segments) {
    uint16_t *prefixes = &prefixCrcs[segment.firstPrefix];
    prefixes[0] = 0;
    for (uint32_t stride = 0; stride < segment.length / PREFIX_STRIDE; ++stride) {
      prefixes[stride + 1] = CalculateChecksumInfoCrc16(prefixes[stride], segment.data + stride * PREFIX_STRIDE,
                                                        PREFIX_STRIDE);
    }
  }
}

void ReleaseImageIndex(void) {
  std::vector<HeldSegment>().swap(segments);
  std::vector<uint16_t>().swap(prefixCrcs);
}

bool CalculateImageRangeCrc(uint32_t address, uint32_t length, uint16_t *crc) {
  *crc = CIT_CRC_INITIAL_VALUE;
  if (length == 0) {
    return true;
  }
  const HeldSegment *segment = FindHeldSegment(address);
  const uint32_t start = address - (segment != NULL ? segment->address : 0);
  if (segment == NULL || length > segment->length - start) {
    return false;
  }
  const uint8_t *data = segment->data;
  const uint32_t end = start + length;
  const uint32_t strideStart = static_cast<uint32_t>(
      std::min<uint64_t>(end, (uint64_t{start} + PREFIX_STRIDE - 1) / PREFIX_STRIDE * PREFIX_STRIDE));
  const uint32_t strideEnd = std::max(strideStart, end / PREFIX_STRIDE * PREFIX_STRIDE);
  /* Whole strides come from two prefixes; the bytes before and after them are fed directly. */
  *crc = CalculateChecksumInfoCrc16(*crc, data + start, strideStart - start);
  if (strideEnd > strideStart) {
    const uint16_t *prefixes = &prefixCrcs[segment->firstPrefix];
    *crc = ShiftCrc(*crc ^ prefixes[strideStart / PREFIX_STRIDE], strideEnd - strideStart) ^
           prefixes[strideEnd / PREFIX_STRIDE];
  }
  *crc = CalculateChecksumInfoCrc16(*crc, data + strideEnd, end - strideEnd);
  return true;
}
