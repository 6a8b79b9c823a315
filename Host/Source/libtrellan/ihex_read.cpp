/* One Intel HEX line into the load. */
#include <cstring>

#include "hex_codec.h"
#include "record_read.h"
#include "trellan.h"

namespace {

/* Count, two address bytes, type and checksum around the data. */
constexpr size_t RECORD_FRAME_BYTES = 5;

uint32_t ReadBigEndian16(const uint8_t *bytes) {
  return static_cast<uint32_t>(bytes[0]) << 8 | bytes[1];
}

}  // namespace

uint32_t ReadIhexLine(RecordReader *reader, const char *line, size_t length) {
  if (length < 1 + 2 * RECORD_FRAME_BYTES || ((length - 1) & 1) != 0) {
    return TRL_ERR_SYNTAX;
  }
  const size_t byteCount = (length - 1) / 2;
  if (byteCount > 255 + RECORD_FRAME_BYTES) {
    return TRL_ERR_SYNTAX;
  }
  uint8_t bytes[255 + RECORD_FRAME_BYTES];
  unsigned sum = 0;
  if (!DecodeHexWithin(line + 1, byteCount, reader->textEnd, bytes, &sum) || bytes[0] + RECORD_FRAME_BYTES != byteCount) {
    return TRL_ERR_SYNTAX;
  }
  if ((sum & 0xFF) != 0) {
    return TRL_ERR_CHECKSUM;
  }
  const uint32_t dataLength = bytes[0];
  const uint32_t offset = ReadBigEndian16(bytes + 1);
  const uint8_t type = bytes[3];
  const uint8_t *data = bytes + 4;
  reader->sawRecord = true;

  switch (type) {
    case IHEX_DATA:
      /* Linear addresses carry on into the next window, as peers write and read them; under an 02,
         or with neither, readers disagree on whether the record wraps or carries. */
      if (offset + dataLength > IHEX_WINDOW_SIZE && reader->addressRecord != IHEX_EXTENDED_LINEAR_ADDRESS) {
        return TRL_ERR_WINDOW;
      }
      return AppendRecordData(reader, static_cast<uint64_t>(reader->addressBase) + offset + reader->addressOffset,
                           data, dataLength);
    case IHEX_END_OF_FILE:
      if (dataLength != 0) {
        return TRL_ERR_SYNTAX;
      }
      /* A file joined after this one starts again with no extended address. */
      reader->addressBase = 0;
      reader->addressRecord = 0;
      return TRL_OK;
    case IHEX_EXTENDED_SEGMENT_ADDRESS:
    case IHEX_EXTENDED_LINEAR_ADDRESS:
      if (dataLength != 2) {
        return TRL_ERR_SYNTAX;
      }
      SetAddressBase(reader, type, ReadBigEndian16(data));
      return TRL_OK;
    case IHEX_START_SEGMENT_ADDRESS:
    case IHEX_START_LINEAR_ADDRESS: {
      if (dataLength != 4) {
        return TRL_ERR_SYNTAX;
      }
      const uint32_t high = ReadBigEndian16(data);
      const uint32_t low = ReadBigEndian16(data + 2);
      const bool segmented = type == IHEX_START_SEGMENT_ADDRESS;
      const uint64_t start = (segmented ? uint64_t{high} * 16 + low : uint64_t{high} << 16 | low) +
                             reader->addressOffset;
      FirmwareImage *image = reader->image;
      const bool first = !image->hasStartAddress;
      const uint32_t status = KeepStartAddress(reader, start);
      /* CS:IP says the same again only where no offset moved it. */
      if (status == TRL_OK && first && segmented && reader->addressOffset == 0) {
        image->startIsSegmented = true;
        image->startSegmentPointer = high << 16 | low;
      }
      return status;
    }
    default:
      return TRL_ERR_RECORD_TYPE;
  }
}
