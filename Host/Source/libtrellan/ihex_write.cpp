/* The image as Intel HEX text in one plain layout. */
#include <algorithm>

#include "chunked_output.h"
#include "hex_codec.h"
#include "image.h"
#include "trellan.h"

namespace {

constexpr uint32_t DATA_BYTES_PER_RECORD = 16;
constexpr size_t MAX_LINE_TEXT = 1 + 2 * (4 + 255 + 1) + 1;

/* Appends one record: count, 16-bit address, type, data, checksum. */
void PutRecord(ChunkedOutput *output, uint8_t type, uint32_t address, const uint8_t *data,
               size_t dataLength) {
  char *cursor = ReserveLine(output, MAX_LINE_TEXT);
  const uint8_t prefix[4] = {static_cast<uint8_t>(dataLength), static_cast<uint8_t>(address >> 8),
                             static_cast<uint8_t>(address), type};
  *cursor++ = ':';
  cursor = EncodeRecord(prefix, sizeof prefix, data, dataLength, true, cursor);
  output->used = static_cast<size_t>(cursor - output->chunk);
}

void PutStartRecord(ChunkedOutput *output, uint8_t type, uint32_t high, uint32_t low) {
  const uint8_t data[4] = {static_cast<uint8_t>(high >> 8), static_cast<uint8_t>(high),
                           static_cast<uint8_t>(low >> 8), static_cast<uint8_t>(low)};
  PutRecord(output, type, 0, data, sizeof data);
}

}  // namespace

uint32_t IhexWriteImage(const FirmwareImage *image, TextWriter writer, void *context) {
  ChunkedOutput output = StartChunkedOutput(writer, context);
  if (output.chunk == nullptr) {
    return TRL_ERR_MEMORY;
  }
  uint32_t upperAddress = 0; /* what the last 04 record said; none is needed while it is 0 */
  for (const Segment &segment : image->store.segments) {
    uint64_t address = segment.address;
    for (uint32_t offset = 0; offset < segment.length;) {
      const auto upper = static_cast<uint32_t>(address >> 16);
      if (upper != upperAddress) {
        const uint8_t extended[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
        PutRecord(&output, 4, 0, extended, sizeof extended);
        upperAddress = upper;
      }
      const auto length = static_cast<uint32_t>(std::min<uint64_t>(
          {DATA_BYTES_PER_RECORD, segment.length - offset, uint64_t{IHEX_WINDOW_SIZE} - (address & 0xFFFF)}));
      PutRecord(&output, 0, static_cast<uint32_t>(address & 0xFFFF), segment.bytes + offset, length);
      offset += length;
      address += length;
    }
  }
  if (image->hasStartAddress) {
    if (image->startIsSegmented) {
      PutStartRecord(&output, 3, image->startSegmentPointer >> 16, image->startSegmentPointer & 0xFFFF);
    } else {
      PutStartRecord(&output, 5, image->startAddress >> 16, image->startAddress & 0xFFFF);
    }
  }
  PutRecord(&output, 1, 0, nullptr, 0);
  return FinishChunkedOutput(&output) ? TRL_OK : TRL_ERR_WRITE;
}
