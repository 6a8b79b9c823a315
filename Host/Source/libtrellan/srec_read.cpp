/* One S-record line into the load. */
#include <cstring>

#include "hex_codec.h"
#include "record_read.h"
#include "trellan.h"

namespace {

/* Address field size per record type; 0 marks S4, which an image file must not hold. */
constexpr uint8_t ADDRESS_SIZE[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

}  // namespace

uint32_t ReadSrecLine(RecordReader *reader, const char *line, size_t length) {
  if (length < 4 || (length & 1) != 0) {
    return TRL_ERR_SYNTAX;
  }
  const unsigned type = static_cast<unsigned char>(line[1]) - '0';
  if (type > 9 || ADDRESS_SIZE[type] == 0) {
    return TRL_ERR_RECORD_TYPE;
  }
  const size_t byteCount = (length - 2) / 2;
  if (byteCount > 256) {
    return TRL_ERR_SYNTAX;
  }

  uint8_t bytes[256];
  unsigned sum = 0;
  if (!DecodeHexWithin(line + 2, byteCount, reader->textEnd, bytes, &sum) || bytes[0] != byteCount - 1) {
    return TRL_ERR_SYNTAX;
  }
  const unsigned addressSize = ADDRESS_SIZE[type];
  if (bytes[0] < addressSize + 1) {
    return TRL_ERR_SYNTAX;
  }
  if ((sum & 0xFF) != 0xFF) {
    return TRL_ERR_CHECKSUM;
  }
  uint32_t address = 0;
  for (unsigned index = 1; index <= addressSize; ++index) {
    address = (address << 8) | bytes[index];
  }
  const uint8_t *data = bytes + 1 + addressSize;
  const uint32_t dataLength = bytes[0] - addressSize - 1;
  FirmwareImage *image = reader->image;
  reader->sawRecord = true;

  switch (type) {
    case 0:
      if (!image->hasHeader) {
        image->header.assign(data, data + dataLength);
        image->headerAddress = static_cast<uint16_t>(address);
        image->hasHeader = true;
      }
      reader->recordsSinceMark = 0;
      return TRL_OK;
    case 1:
    case 2:
    case 3:
      reader->recordsSinceMark++;
      return AppendRecordData(reader, static_cast<uint64_t>(address) + reader->addressOffset, data,
                           dataLength);
    case 5:
    case 6:
      if (dataLength != 0) {
        return TRL_ERR_SYNTAX;
      }
      if (address != reader->recordsSinceMark) {
        return TRL_ERR_COUNT;
      }
      reader->recordsSinceMark = 0;
      return TRL_OK;
    default: /* 7, 8, 9 */
      if (dataLength != 0) {
        return TRL_ERR_SYNTAX;
      }
      reader->recordsSinceMark = 0;
      return KeepStartAddress(reader, static_cast<uint64_t>(address) + reader->addressOffset);
  }
}
