#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "chunked_output.h"
#include "hex_codec.h"
#include "image.h"
#include "trellan.h"

namespace {

constexpr uint32_t DATA_BYTES_PER_RECORD = 32;
constexpr size_t MAX_HEADER_BYTES = 252; /* count byte 255 less address and checksum */
constexpr size_t MAX_LINE_TEXT = 2 + 2 * 256 + 1;

/* Appends one record: type digit, address of addressSize bytes, data. */
void PutRecord(ChunkedOutput *output, char type, unsigned addressSize, uint32_t address,
               const uint8_t *data, size_t dataLength) {
  char *cursor = ReserveLine(output, MAX_LINE_TEXT);
  uint8_t prefix[5];
  prefix[0] = static_cast<uint8_t>(addressSize + dataLength + 1);
  for (unsigned index = 0; index < addressSize; ++index) {
    prefix[1 + index] = static_cast<uint8_t>(address >> (8 * (addressSize - 1 - index)));
  }
  cursor[0] = 'S';
  cursor[1] = type;
  cursor = EncodeRecord(prefix, 1 + addressSize, data, dataLength, false, cursor + 2);
  output->used = static_cast<size_t>(cursor - output->chunk);
}

/* Smallest data record type that reaches highestAddress: 1, 2 or 3. */
unsigned ChooseDataRecordType(uint32_t highestAddress) {
  if (highestAddress <= 0xFFFF) {
    return 1;
  }
  return highestAddress <= 0xFFFFFF ? 2 : 3;
}

}  // namespace

uint32_t SrecWriteImage(const FirmwareImage *image, const std::string &defaultHeader, TextWriter writer,
                        void *context) {
  ChunkedOutput output = StartChunkedOutput(writer, context);
  if (output.chunk == nullptr) {
    return TRL_ERR_MEMORY;
  }
  const SegmentList &segments = image->store.segments;
  const uint32_t startAddress = image->hasStartAddress ? image->startAddress : 0;
  uint32_t highestAddress = startAddress;
  if (!segments.empty()) {
    highestAddress = std::max(highestAddress, static_cast<uint32_t>(SegmentEnd(segments.back()) - 1));
  }
  const unsigned dataType = ChooseDataRecordType(highestAddress);
  const unsigned addressSize = dataType + 1;

  /* Always a header: strict readers warn about a file without one. */
  const uint8_t *header = image->hasHeader ? image->header.data()
                                           : reinterpret_cast<const uint8_t *>(defaultHeader.data());
  const size_t headerLength = image->hasHeader ? image->header.size() : defaultHeader.size();
  PutRecord(&output, '0', 2, image->headerAddress, header, std::min(headerLength, MAX_HEADER_BYTES));
  uint64_t dataRecords = 0;
  for (const Segment &segment : segments) {
    for (uint32_t offset = 0; offset < segment.length; offset += DATA_BYTES_PER_RECORD) {
      const uint32_t length = std::min(DATA_BYTES_PER_RECORD, segment.length - offset);
      PutRecord(&output, static_cast<char>('0' + dataType), addressSize, segment.address + offset,
                segment.bytes + offset, length);
      ++dataRecords;
    }
  }
  /* A count above 24 bits has no record that can hold it; the count record is optional. */
  if (dataRecords <= 0xFFFF) {
    PutRecord(&output, '5', 2, static_cast<uint32_t>(dataRecords), nullptr, 0);
  } else if (dataRecords <= 0xFFFFFF) {
    PutRecord(&output, '6', 3, static_cast<uint32_t>(dataRecords), nullptr, 0);
  }
  /* S9, S8 or S7: the termination whose address size matches the data records' */
  PutRecord(&output, static_cast<char>('0' + 10 - dataType), addressSize, startAddress, nullptr, 0);
  return FinishChunkedOutput(&output) ? TRL_OK : TRL_ERR_WRITE;
}
