/*
 * What the S-record and the Intel HEX readers share: the state of one load,
 * the way data reach the image, and the line reader that feeds either format.
 */
#ifndef TRELLAN_RECORD_READ_H
#define TRELLAN_RECORD_READ_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "hex_codec.h"
#include "image.h"
#include "page_store.h"
#include "segment_merge.h"
#include "trellan.h"

/* Files are read in blocks of this size: small enough to stay in the cache between reading and decoding. */
constexpr size_t READ_BLOCK_SIZE = size_t{256} * 1024;

/* The format of a load before its first record: the first record decides. */
constexpr uint32_t FILE_FORMAT_UNKNOWN = UINT32_MAX;

struct RecordReader {
  FirmwareImage *image;
  PageStore pages;           /* data that did not lie past the segments read so far */
  RunList outOfOrder;        /* those of them that pages would hold too sparsely */
  size_t textLeft;           /* most text still to come, if known (0: unknown) */
  const char *textEnd;       /* end of the text the current line lies in: how far a decoder may read */
  size_t bytesExpected;      /* data bytes the rest of a file holds at the density read so far (0: unknown) */
  size_t bytesLoaded;        /* data bytes of the records read so far */
  uint32_t addressOffset;
  uint32_t fileFormat;       /* TRL_FILE_FORMAT_* of the first record, or FILE_FORMAT_UNKNOWN */
  bool sawRecord;
  bool sawDosEnd;            /* a DOS end-of-file byte ended the text: only blanks may follow */
  uint32_t recordsSinceMark; /* S-records: data records since the last S0, count or termination */
  uint32_t addressBase;      /* Intel HEX: what the last 02 or 04 record adds to the addresses */
  uint8_t addressRecord;     /* Intel HEX: the type of that record, 0 while there is none */
};

/*
 * Adds the bytes of one data record at start (addressOffset already added) to
 * the load. Fails with TRL_ERR_OVERFLOW past 0xFFFFFFFF, or TRL_ERR_MEMORY.
 */
uint32_t AddRecordData(RecordReader *reader, uint64_t start, const uint8_t *data, uint32_t length);

/* How many bytes a load may reserve ahead for each byte its records held so far. */
constexpr size_t ROOM_PER_LOADED_BYTE = 4;

/*
 * The room pages may take at once. Scattered records take a page each long
 * before the pages fill: their room follows the pages. Pages grow while a
 * full stage is held, so they get twice the room segments get: fewer copies
 * of the pages then coincide with the stage.
 */
inline size_t PageRoom(const RecordReader *reader) {
  const size_t pagesHeld = (reader->pages.count + reader->pages.pendingPages) * PAGE_SIZE;
  return std::min(reader->textLeft / 2, 2 * ROOM_PER_LOADED_BYTE * std::max<size_t>(reader->bytesLoaded, pagesHeld));
}

/*
 * AddRecordData() for the common cases inline: bytes that continue the last
 * segment within the room it has, and bytes out of order that the pages
 * take. Records are short, so they are copied in steps of sixteen bytes the
 * compiler lays out rather than by a call.
 */
inline uint32_t AppendRecordData(RecordReader *reader, uint64_t start, const uint8_t *data, uint32_t length) {
  SegmentList &segments = reader->image->store.segments;
  if (!segments.empty() && length != 0 && (length & 15) == 0) {
    Segment &last = segments.back();
    if (start == SegmentEnd(last) && last.block != nullptr && last.capacity - last.length >= length &&
        start + length <= ADDRESS_SPACE_END) {
      uint8_t *destination = last.bytes + last.length;
      for (uint32_t offset = 0; offset < length; offset += 16) {
        std::memcpy(destination + offset, data + offset, 16);
      }
      last.length += length;
      reader->bytesLoaded += length;
      return TRL_OK;
    }
    /* Out of order, where pages take it: staged without the general steps. */
    if (start < SegmentEnd(last) && start + length <= ADDRESS_SPACE_END &&
        PageStoreTakes(&reader->pages, static_cast<uint32_t>(start), length)) {
      reader->bytesLoaded += length;
      return PageStoreWrite(&reader->pages, static_cast<uint32_t>(start), data, length, PageRoom(reader));
    }
  }
  return AddRecordData(reader, start, data, length);
}

enum IhexRecordType : uint8_t {
  IHEX_DATA = 0,
  IHEX_END_OF_FILE = 1,
  IHEX_EXTENDED_SEGMENT_ADDRESS = 2,
  IHEX_START_SEGMENT_ADDRESS = 3,
  IHEX_EXTENDED_LINEAR_ADDRESS = 4,
  IHEX_START_LINEAR_ADDRESS = 5,
};

/* Takes the base that an Intel HEX 02 or 04 record's two data bytes give. */
inline void SetAddressBase(RecordReader *reader, uint8_t type, uint32_t value) {
  reader->addressBase = value << (type == IHEX_EXTENDED_SEGMENT_ADDRESS ? 4 : 16);
  reader->addressRecord = type;
}

/*
 * Reads the Intel HEX 04 record at line in the one form writers put wherever
 * the window changes, ":02000004", four hex digits and the checksum, then a
 * line end; where records come out of address order one precedes nearly
 * every data record, so it takes one step. line holds at least 16
 * characters. Returns false, having read nothing, for any other text,
 * including such a record with a wrong digit or checksum: the general way
 * then reads it and says what is wrong.
 */
inline bool ReadPlainExtendedLinear(RecordReader *reader, const char *line) {
  static constexpr char FRAME[] = ":02000004";
  if (std::memcmp(line, FRAME, sizeof FRAME - 1) != 0 || (line[15] != '\n' && line[15] != '\r')) {
    return false;
  }
  const int high = DecodeHexPair(line + 9);
  const int low = DecodeHexPair(line + 11);
  const int checksum = DecodeHexPair(line + 13);
  if ((high | low | checksum) < 0 || ((2 + IHEX_EXTENDED_LINEAR_ADDRESS + high + low + checksum) & 0xFF) != 0) {
    return false;
  }
  reader->sawRecord = true;
  SetAddressBase(reader, IHEX_EXTENDED_LINEAR_ADDRESS, static_cast<uint32_t>(high << 8 | low));
  return true;
}

/* Keeps a start address (addressOffset already added) unless one is held: the first one counts. */
uint32_t KeepStartAddress(RecordReader *reader, uint64_t start);

/* The size of the file behind stream, or 0 when it is not a regular file. */
uint64_t RegularFileSize(FILE *stream);

/* One record line, without its line end and trailing white space, never empty. */
uint32_t ReadSrecLine(RecordReader *reader, const char *line, size_t length);
uint32_t ReadIhexLine(RecordReader *reader, const char *line, size_t length);

#endif
