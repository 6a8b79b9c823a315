#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "hex_codec.h"
#include "image.h"
#include "segment_merge.h"
#include "trellan.h"

namespace {

/* Small enough to stay in the cache between reading a block and decoding it. */
constexpr size_t READ_BLOCK_SIZE = size_t{256} * 1024;
/* Address field size per record type; 0 marks S4, which an image file must not hold. */
constexpr uint8_t ADDRESS_SIZE[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

struct SrecReader {
  FirmwareImage *image;
  RunList outOfOrder;        /* data records that did not lie past the segments read so far */
  size_t textLeft;           /* most text still to come, if known (0: unknown) */
  uint32_t addressOffset;
  uint32_t recordsSinceMark; /* data records since the last S0, count or termination record */
  bool sawRecord;
};

bool IsTrailingSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

uint32_t ReadDataRecord(SrecReader *reader, uint32_t address, const uint8_t *data,
                        uint32_t length) {
  const uint64_t start = static_cast<uint64_t>(address) + reader->addressOffset;
  if (start + length > ADDRESS_SPACE_END || (length == 0 && start >= ADDRESS_SPACE_END)) {
    return TRL_ERR_OVERFLOW;
  }
  reader->recordsSinceMark++;
  if (length == 0) {
    return TRL_OK;
  }
  /* Records mostly ascend: those go straight into segments, the others are merged at the end. */
  SegmentStore *store = &reader->image->store;
  const size_t room = reader->textLeft / 2; /* two hex digits per byte */
  uint8_t *destination =
      store->segments.empty() || start >= SegmentEnd(store->segments.back())
          ? StoreAppend(store, static_cast<uint32_t>(start), length, room)
          : RunListAppend(&reader->outOfOrder, static_cast<uint32_t>(start), length, room);
  if (destination == nullptr) {
    return TRL_ERR_MEMORY;
  }
  std::memcpy(destination, data, length);
  return TRL_OK;
}

uint32_t ReadLine(SrecReader *reader, const char *line, size_t length) {
  while (length > 0 && IsTrailingSpace(line[length - 1])) {
    --length;
  }
  if (length == 0) {
    return TRL_OK;
  }
  if (line[0] != 'S' || length < 4 || (length & 1) != 0) {
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
  if (!DecodeHex(line + 2, byteCount, bytes, &sum) || bytes[0] != byteCount - 1) {
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
      return ReadDataRecord(reader, address, data, dataLength);
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
    default: { /* 7, 8, 9 */
      if (dataLength != 0) {
        return TRL_ERR_SYNTAX;
      }
      const uint64_t start = static_cast<uint64_t>(address) + reader->addressOffset;
      if (start >= ADDRESS_SPACE_END) {
        return TRL_ERR_OVERFLOW;
      }
      if (!image->hasStartAddress) {
        image->startAddress = static_cast<uint32_t>(start);
        image->hasStartAddress = true;
      }
      reader->recordsSinceMark = 0;
      return TRL_OK;
    }
  }
}

/* Reads every complete line of text; returns the number of bytes consumed through *consumed. */
uint32_t ReadLines(SrecReader *reader, const char *text, size_t length, size_t *consumed) {
  const char *cursor = text;
  const char *end = text + length;
  while (cursor < end) {
    const auto *newline = static_cast<const char *>(std::memchr(cursor, '\n', end - cursor));
    if (newline == nullptr) {
      break;
    }
    uint32_t status = ReadLine(reader, cursor, static_cast<size_t>(newline - cursor));
    if (status != TRL_OK) {
      return status;
    }
    cursor = newline + 1;
  }
  *consumed = static_cast<size_t>(cursor - text);
  return TRL_OK;
}

/* Ends a read: merges what arrived out of order and trims the segments, or drops both on failure. */
uint32_t FinishReading(SrecReader *reader, uint32_t status) {
  if (status == TRL_OK && !reader->sawRecord) {
    status = TRL_ERR_EMPTY;
  }
  if (status == TRL_OK) {
    status = StoreMergeRuns(&reader->image->store, &reader->outOfOrder);
  }
  RunListClear(&reader->outOfOrder);
  if (status == TRL_OK) {
    StoreShrink(&reader->image->store);
  }
  return status;
}

/* The size of the file behind stream, or 0 when it is not a regular file. */
uint64_t RegularFileSize(FILE *stream) {
#ifdef _WIN32
  struct _stat64 status {};
  const bool regular = _fstat64(_fileno(stream), &status) == 0 && (status.st_mode & _S_IFREG) != 0;
#else
  struct stat status {};
  const bool regular = fstat(fileno(stream), &status) == 0 && S_ISREG(status.st_mode);
#endif
  return regular ? static_cast<uint64_t>(status.st_size) : 0;
}

/* Skips the white space that trails a record already read, through its line end; false at anything else. */
bool SkipRestOfLine(const char *text, size_t length, size_t *offset, bool *skipping) {
  while (*offset < length && IsTrailingSpace(text[*offset])) {
    ++*offset;
  }
  if (*offset == length) {
    return true;
  }
  if (text[*offset] != '\n') {
    return false;
  }
  ++*offset;
  *skipping = false;
  return true;
}

}  // namespace

uint32_t SrecReadMemory(const char *text, size_t length, uint32_t addressOffset,
                        FirmwareImage *image) {
  SrecReader reader{image, RunList{}, length, addressOffset, 0, false};
  size_t consumed = 0;
  uint32_t status = ReadLines(&reader, text, length, &consumed);
  if (status == TRL_OK && consumed < length) {
    status = ReadLine(&reader, text + consumed, length - consumed);
  }
  return FinishReading(&reader, status);
}

uint32_t SrecReadStream(FILE *stream, uint32_t addressOffset, FirmwareImage *image) {
  const uint64_t fileSize = RegularFileSize(stream);
  SrecReader reader{image, RunList{}, 0, addressOffset, 0, false};
  uint64_t textRead = 0;
  auto *block = static_cast<char *>(std::malloc(READ_BLOCK_SIZE));
  if (block == nullptr) {
    return TRL_ERR_MEMORY;
  }
  uint32_t status = TRL_OK;
  size_t carried = 0;        /* start of a line that the previous block cut off */
  bool skippingRest = false; /* of a line longer than a block, whose record is read */
  for (;;) {
    size_t got = std::fread(block + carried, 1, READ_BLOCK_SIZE - carried, stream);
    if (got == 0 && std::ferror(stream)) {
      status = TRL_ERR_OPEN;
      break;
    }
    textRead += got;
    if (fileSize != 0) {
      /* This block and what the file holds after it; a file that grows meanwhile only costs moves. */
      reader.textLeft = static_cast<size_t>(
          std::min<uint64_t>(fileSize > textRead ? fileSize - textRead : 0, SIZE_MAX / 2) + carried + got);
    }
    size_t filled = carried + got;
    if (got == 0) {
      if (filled > 0) {
        status = ReadLine(&reader, block, filled);
      }
      break;
    }
    size_t skipped = 0;
    if (skippingRest && !SkipRestOfLine(block, filled, &skipped, &skippingRest)) {
      status = TRL_ERR_SYNTAX;
      break;
    }
    size_t consumed = 0;
    status = ReadLines(&reader, block + skipped, filled - skipped, &consumed);
    if (status != TRL_OK) {
      break;
    }
    consumed += skipped;
    carried = filled - consumed;
    if (carried == READ_BLOCK_SIZE) {
      /* No line end in a whole block: only white space after a record may make a line this long. */
      status = ReadLine(&reader, block, carried);
      if (status != TRL_OK) {
        break;
      }
      skippingRest = true;
      carried = 0;
    }
    std::memmove(block, block + consumed, carried);
  }
  std::free(block);
  return FinishReading(&reader, status);
}
