/* Feeding text, from memory or a stream, line by line to the reader of its format. */
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TRELLAN_LINE_SSE2 1
#endif

#include "bit_scan.h"
#include "hex_codec.h"
#include "record_read.h"
#include "trellan.h"

namespace {

/* DOS ended text files with it; peers accept one after the last line, so must we. */
constexpr char DOS_END_OF_FILE = '\x1A';

bool IsTrailingSpace(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

/* Peers end lines in LF, CRLF or a lone CR; a CRLF then leaves an empty line behind its CR. */
bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

/* The first line end in [cursor, end), or null. */
const char *FindLineEnd(const char *cursor, const char *end) {
#ifdef TRELLAN_LINE_SSE2
  const __m128i newline = _mm_set1_epi8('\n');
  const __m128i carriageReturn = _mm_set1_epi8('\r');
  for (; end - cursor >= 16; cursor += 16) {
    const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cursor));
    const int found = _mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(text, newline), _mm_cmpeq_epi8(text, carriageReturn)));
    if (found != 0) {
      return cursor + LowestSetBit(static_cast<unsigned>(found));
    }
  }
#endif
  for (; cursor < end; ++cursor) {
    if (IsLineEnd(*cursor)) {
      return cursor;
    }
  }
  return nullptr;
}

uint32_t IdentifyFormat(char first) {
  if (first == 'S') {
    return TRL_FILE_FORMAT_SREC;
  }
  return first == ':' ? TRL_FILE_FORMAT_IHEX : FILE_FORMAT_UNKNOWN;
}

size_t TrimTrailingSpace(const char *line, size_t length) {
  while (length > 0 && IsTrailingSpace(line[length - 1])) {
    --length;
  }
  return length;
}

/* A record of the load's format, whole: without its line end and trailing white space. */
uint32_t ReadRecord(RecordReader *reader, const char *line, size_t length) {
  return reader->fileFormat == TRL_FILE_FORMAT_SREC ? ReadSrecLine(reader, line, length)
                                                    : ReadIhexLine(reader, line, length);
}

/* One line without its line end; a DOS end-of-file byte may end it, and then nothing but blanks may follow. */
uint32_t ReadLine(RecordReader *reader, const char *line, size_t length) {
  length = TrimTrailingSpace(line, length);
  if (length > 0 && reader->sawDosEnd) {
    return TRL_ERR_SYNTAX;
  }
  if (length > 0 && line[length - 1] == DOS_END_OF_FILE) {
    reader->sawDosEnd = true;
    length = TrimTrailingSpace(line, length - 1);
  }
  if (length == 0) {
    return TRL_OK;
  }
  const uint32_t format = IdentifyFormat(line[0]);
  if (format == FILE_FORMAT_UNKNOWN) {
    return TRL_ERR_SYNTAX;
  }
  if (reader->fileFormat == FILE_FORMAT_UNKNOWN) {
    reader->fileFormat = format;
  } else if (reader->fileFormat != format) {
    return TRL_ERR_MIXED_FORMATS;
  }
  return ReadRecord(reader, line, length);
}

/*
 * The length of the record at cursor as its count field gives it, when the
 * format is known, the text holds the record whole and a line end follows it
 * at once; otherwise 0, and the line takes the general way. A line whose line
 * end comes sooner fails either way, with the same status: the characters
 * that would be read as hex digits are not hex digits there. An S-record's
 * type is looked at before its digits, so only the types an image may hold
 * take this way.
 */
size_t CountedLineLength(const RecordReader *reader, const char *cursor, const char *end) {
  if (reader->sawDosEnd || end - cursor < 4) {
    return 0;
  }
  size_t length = 0;
  if (reader->fileFormat == TRL_FILE_FORMAT_SREC && cursor[0] == 'S' && cursor[1] >= '0' && cursor[1] <= '9' &&
      cursor[1] != '4') {
    const int count = DecodeHexPair(cursor + 2);
    length = count < 0 ? 0 : 4 + 2 * static_cast<size_t>(count);
  } else if (reader->fileFormat == TRL_FILE_FORMAT_IHEX && cursor[0] == ':') {
    const int count = DecodeHexPair(cursor + 1);
    length = count < 0 ? 0 : 11 + 2 * static_cast<size_t>(count);
  }
  return length != 0 && static_cast<size_t>(end - cursor) > length && IsLineEnd(cursor[length]) ? length : 0;
}

/* Reads every complete line of text; returns the number of bytes consumed through *consumed. */
uint32_t ReadLines(RecordReader *reader, const char *text, size_t length, size_t *consumed) {
  const char *cursor = text;
  const char *end = text + length;
  reader->textEnd = end;
  while (cursor < end) {
    if (reader->fileFormat == TRL_FILE_FORMAT_IHEX && !reader->sawDosEnd && end - cursor > 16 &&
        ReadPlainExtendedLinear(reader, cursor)) {
      cursor += cursor[15] == '\r' && cursor[16] == '\n' ? 17 : 16;
      continue;
    }
    const size_t counted = CountedLineLength(reader, cursor, end);
    if (counted != 0) {
      const uint32_t status = ReadRecord(reader, cursor, counted);
      if (status != TRL_OK) {
        return status;
      }
      /* A CRLF goes at once; a lone CR or LF ends the line alone. */
      cursor += counted + 1;
      if (cursor[-1] == '\r' && cursor < end && *cursor == '\n') {
        ++cursor;
      }
      continue;
    }
    const char *newline = FindLineEnd(cursor, end);
    if (newline == nullptr) {
      break;
    }
    const uint32_t status = ReadLine(reader, cursor, static_cast<size_t>(newline - cursor));
    if (status != TRL_OK) {
      return status;
    }
    cursor = newline + 1;
  }
  *consumed = static_cast<size_t>(cursor - text);
  return TRL_OK;
}

/*
 * Brings the pages into the store, copying the smaller of the two into the
 * other: the records that came in order, or those that did not.
 */
uint32_t JoinPages(RecordReader *reader) {
  SegmentStore *store = &reader->image->store;
  uint64_t held = 0;
  for (const Segment &segment : store->segments) {
    held += segment.length;
  }
  if (held <= reader->pages.bytesHeld) {
    for (Segment &segment : store->segments) {
      const uint32_t status = PageStoreWrite(&reader->pages, segment.address, segment.bytes, segment.length, 0);
      if (status != TRL_OK) {
        return status;
      }
      std::free(segment.block);
      segment.block = nullptr;
    }
    StoreClear(store);
  }
  SegmentStore paged{};
  uint32_t status = PageStoreFinish(&reader->pages, &paged);
  if (status == TRL_OK) {
    status = StoreMergeStore(store, &paged);
  }
  StoreClear(&paged);
  return status;
}

/* Ends a read: merges what arrived out of order and trims the segments, or drops both on failure. */
uint32_t FinishReading(RecordReader *reader, uint32_t status) {
  if (status == TRL_OK && !reader->sawRecord) {
    status = TRL_ERR_EMPTY;
  }
  if (status == TRL_OK && reader->pages.bytesHeld > 0) {
    status = JoinPages(reader);
  }
  if (status == TRL_OK) {
    status = StoreMergeRuns(&reader->image->store, &reader->outOfOrder);
  }
  PageStoreClear(&reader->pages);
  RunListClear(&reader->outOfOrder);
  if (status == TRL_OK) {
    StoreShrink(&reader->image->store);
    reader->image->fileFormat = reader->fileFormat;
  }
  return status;
}

RecordReader MakeReader(FirmwareImage *image, size_t textLeft, uint32_t addressOffset) {
  RecordReader reader{};
  reader.image = image;
  reader.textLeft = textLeft;
  reader.addressOffset = addressOffset;
  reader.fileFormat = FILE_FORMAT_UNKNOWN;
  return reader;
}

/* Skips the white space that trails a record already read, through its line end; false at anything else. */
bool SkipRestOfLine(const char *text, size_t length, size_t *offset, bool *skipping) {
  while (*offset < length && IsTrailingSpace(text[*offset])) {
    ++*offset;
  }
  if (*offset == length) {
    return true;
  }
  if (!IsLineEnd(text[*offset])) {
    return false;
  }
  ++*offset;
  *skipping = false;
  return true;
}

}  // namespace

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

uint32_t AddRecordData(RecordReader *reader, uint64_t start, const uint8_t *data, uint32_t length) {
  if (start + length > ADDRESS_SPACE_END || (length == 0 && start >= ADDRESS_SPACE_END)) {
    return TRL_ERR_OVERFLOW;
  }
  if (length == 0) {
    return TRL_OK;
  }
  /* Two hex digits a byte: what the rest of the text could hold, but no more than a few times what the
     records so far held, since the rest may be blanks. */
  const size_t room = std::min(reader->textLeft / 2, reader->bytesLoaded * ROOM_PER_LOADED_BYTE);
  reader->bytesLoaded += length;
  /* Records mostly ascend: those go straight into segments; the others go to their place in a page,
     or, where pages would be too sparse, to runs that are merged at the end. */
  SegmentStore *store = &reader->image->store;
  if (store->segments.empty() || start >= SegmentEnd(store->segments.back())) {
    /* A segment that grows large takes at once what the rest of the file would add at the density so
       far, rather than being copied each time it outgrows a guess; a new one starts small. */
    const bool continues = !store->segments.empty() && start == SegmentEnd(store->segments.back());
    const size_t appendRoom = continues ? std::min(reader->textLeft / 2, std::max(room, reader->bytesExpected)) : room;
    uint8_t *destination = StoreAppend(store, static_cast<uint32_t>(start), length, appendRoom);
    if (destination == nullptr) {
      return TRL_ERR_MEMORY;
    }
    std::memcpy(destination, data, length);
    return TRL_OK;
  }
  if (PageStoreTakes(&reader->pages, static_cast<uint32_t>(start), length)) {
    return PageStoreWrite(&reader->pages, static_cast<uint32_t>(start), data, length, PageRoom(reader));
  }
  uint8_t *destination = RunListAppend(&reader->outOfOrder, static_cast<uint32_t>(start), length, room);
  if (destination == nullptr) {
    return TRL_ERR_MEMORY;
  }
  std::memcpy(destination, data, length);
  return TRL_OK;
}

uint32_t KeepStartAddress(RecordReader *reader, uint64_t start) {
  if (start >= ADDRESS_SPACE_END) {
    return TRL_ERR_OVERFLOW;
  }
  FirmwareImage *image = reader->image;
  if (!image->hasStartAddress) {
    image->startAddress = static_cast<uint32_t>(start);
    image->hasStartAddress = true;
  }
  return TRL_OK;
}

uint32_t RecordReadMemory(const char *text, size_t length, uint32_t addressOffset,
                          FirmwareImage *image) {
  RecordReader reader = MakeReader(image, length, addressOffset);
  size_t consumed = 0;
  uint32_t status = ReadLines(&reader, text, length, &consumed);
  if (status == TRL_OK && consumed < length) {
    reader.textEnd = text + length;
    status = ReadLine(&reader, text + consumed, length - consumed);
  }
  return FinishReading(&reader, status);
}

uint32_t RecordReadStream(FILE *stream, uint32_t addressOffset, FirmwareImage *image) {
  const uint64_t fileSize = RegularFileSize(stream);
  RecordReader reader = MakeReader(image, 0, addressOffset);
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
      /* The data the rest of the file holds at the density so far; blanks lower the density. */
      const uint64_t textDone = textRead - got - carried;
      if (textDone > 0) {
        reader.bytesExpected = static_cast<size_t>(
            std::min(static_cast<double>(reader.textLeft) * reader.bytesLoaded / textDone * 1.125,
                     static_cast<double>(reader.textLeft / 2)));
      }
    }
    size_t filled = carried + got;
    if (got == 0) {
      if (filled > 0) {
        reader.textEnd = block + filled;
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
      reader.textEnd = block + carried;
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
