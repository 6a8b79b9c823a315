/*
 * The image back into the ELF it came from: the file as it was, block by
 * block, with the image's bytes laid over the file bytes of the sections that
 * hold them. Nothing else in the file changes.
 */
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "image.h"
#include "record_read.h"
#include "trellan.h"

namespace {

/* Blocks this size stream a large file at the speed of a plain copy. */
constexpr size_t COPY_BLOCK_SIZE = size_t{1} << 20;

/* First segment that ends after address. */
size_t FindSegmentReaching(const SegmentList &segments, uint32_t address) {
  return static_cast<size_t>(
      std::upper_bound(segments.begin(), segments.end(), uint64_t{address},
                       [](uint64_t value, const Segment &segment) { return value < SegmentEnd(segment); }) -
      segments.begin());
}

/* True when [address, address + length) lies inside one of runs (ascending, disjoint). */
bool IsInRuns(const std::vector<ElfPiece> &runs, uint32_t address, uint64_t length) {
  const auto run = std::upper_bound(runs.begin(), runs.end(), address,
                                    [](uint32_t value, const ElfPiece &piece) { return value < piece.address; });
  return run != runs.begin() && uint64_t{address} + length <= uint64_t{(run - 1)->address} + (run - 1)->length;
}

/*
 * Takes each of the image's held runs of [address, address + length) with
 * the matching part of bytes: visit(held, bytes, count) returns false to stop.
 */
template <typename Visit>
bool VisitHeldBytes(const SegmentList &segments, uint32_t address, uint32_t length, uint8_t *bytes, Visit visit) {
  const uint64_t end = uint64_t{address} + length;
  for (size_t index = FindSegmentReaching(segments, address);
       index < segments.size() && segments[index].address < end; ++index) {
    const Segment &segment = segments[index];
    const uint64_t first = std::max<uint64_t>(segment.address, address);
    const uint64_t last = std::min(SegmentEnd(segment), end);
    if (!visit(segment.bytes + (first - segment.address), bytes + (first - address), static_cast<size_t>(last - first))) {
      return false;
    }
  }
  return true;
}

/* Copies the image's bytes of [address, address + length) over destination; bytes it lacks stay. */
void OverlayImageBytes(const SegmentList &segments, uint32_t address, uint32_t length, uint8_t *destination) {
  VisitHeldBytes(segments, address, length, destination, [](const uint8_t *held, uint8_t *target, size_t count) {
    std::memcpy(target, held, count);
    return true;
  });
}

/* True when the image's bytes of [address, address + length) equal those at bytes, where it holds them. */
bool IsImageAgreeing(const SegmentList &segments, uint32_t address, uint32_t length, uint8_t *bytes) {
  return VisitHeldBytes(segments, address, length, bytes, [](const uint8_t *held, uint8_t *target, size_t count) {
    return std::memcmp(target, held, count) == 0;
  });
}


/*
 * Calls action(address, length, bytes) for the part of each piece in one block
 * of the file, [blockStart, blockStart + length), with the block's bytes for
 * it; stops at the first false.
 */
template <typename Action>
bool VisitPiecesInBlock(const std::vector<ElfPiece> &pieces, size_t firstPiece, uint64_t blockStart, size_t length,
                        uint8_t *block, Action action) {
  const uint64_t blockEnd = blockStart + length;
  for (size_t index = firstPiece; index < pieces.size() && pieces[index].fileOffset < blockEnd; ++index) {
    const ElfPiece &piece = pieces[index];
    const uint64_t first = std::max(piece.fileOffset, blockStart);
    const uint64_t last = std::min(piece.fileOffset + piece.length, blockEnd);
    if (first < last && !action(static_cast<uint32_t>(piece.address + (first - piece.fileOffset)),
                                static_cast<uint32_t>(last - first), block + (first - blockStart))) {
      return false;
    }
  }
  return true;
}

/*
 * Lays the image over one block of the file. The ELF's own headers and name
 * table keep their bytes: TRL_ERR_NO_SECTION if the image changed any that a
 * segment loads. Where file bytes load at two addresses, the image must give
 * both the same value: TRL_ERR_CONFLICT otherwise, as one of them would be lost.
 */
uint32_t OverlayBlock(const FirmwareImage *image, size_t *firstPiece, uint64_t blockStart, size_t length,
                      uint8_t *block) {
  const std::vector<ElfPiece> &pieces = image->elf.pieces;
  const SegmentList &segments = image->store.segments;
  /* Blocks ascend: a piece ending before this one is done with. */
  while (*firstPiece < pieces.size() && pieces[*firstPiece].fileOffset + pieces[*firstPiece].length <= blockStart) {
    ++*firstPiece;
  }
  const bool headersKept = VisitPiecesInBlock(
      pieces, *firstPiece, blockStart, length, block, [&](uint32_t address, uint32_t count, uint8_t *bytes) {
        const uint64_t fileOffset = blockStart + static_cast<uint64_t>(bytes - block);
        for (const ElfPiece &header : image->elf.headers) {
          const uint64_t first = std::max(header.fileOffset, fileOffset);
          const uint64_t last = std::min(header.fileOffset + header.length, fileOffset + count);
          if (first < last && !IsImageAgreeing(segments, static_cast<uint32_t>(address + (first - fileOffset)),
                                               static_cast<uint32_t>(last - first), bytes + (first - fileOffset))) {
            return false;
          }
        }
        return true;
      });
  if (!headersKept) {
    return TRL_ERR_NO_SECTION;
  }
  VisitPiecesInBlock(pieces, *firstPiece, blockStart, length, block,
                     [&](uint32_t address, uint32_t count, uint8_t *bytes) {
                       OverlayImageBytes(segments, address, count, bytes);
                       return true;
                     });
  const bool agreeing = VisitPiecesInBlock(pieces, *firstPiece, blockStart, length, block,
                                                [&](uint32_t address, uint32_t count, uint8_t *bytes) {
                                                  return IsImageAgreeing(segments, address, count, bytes);
                                                });
  return agreeing ? TRL_OK : TRL_ERR_CONFLICT;
}

/* The file an ELF was loaded from, read forward from a position, or the copy a load from memory kept. */
struct SourceReader {
  const ElfSource *source;
  FILE *stream = nullptr;
  uint64_t position = 0;
  uint8_t *block = nullptr; /* COPY_BLOCK_SIZE */
  ~SourceReader() {
    if (stream != nullptr) {
      std::fclose(stream);
    }
    std::free(block);
  }
};

/* Opens the source, refusing a file that changed since the load: its bytes would no longer match the map. */
uint32_t OpenSource(SourceReader *reader) {
  reader->block = static_cast<uint8_t *>(std::malloc(COPY_BLOCK_SIZE));
  if (reader->block == nullptr) {
    return TRL_ERR_MEMORY;
  }
  const ElfSource &source = *reader->source;
  if (source.fileName.empty()) {
    return TRL_OK;
  }
  reader->stream = std::fopen(source.fileName.c_str(), "rb");
  FileIdentity now{};
  if (reader->stream == nullptr || !ReadFileIdentity(reader->stream, &now)) {
    return TRL_ERR_ELF_CHANGED;
  }
  const FileIdentity &then = source.identity;
  const bool same = now.size == then.size && now.modified == then.modified && now.device == then.device &&
                    now.inode == then.inode;
  return same ? TRL_OK : TRL_ERR_ELF_CHANGED;
}

uint64_t SourceSize(const SourceReader &reader) {
  return reader.source->fileName.empty() ? reader.source->bytes.size() : reader.source->identity.size;
}

/* Reads the source's bytes [offset, offset + length) (length at most COPY_BLOCK_SIZE) into the reader's block. */
uint32_t ReadSource(SourceReader *reader, uint64_t offset, size_t length) {
  if (reader->stream == nullptr) {
    std::memcpy(reader->block, reader->source->bytes.data() + offset, length);
    return TRL_OK;
  }
  if ((offset != reader->position && !SeekFile(reader->stream, offset)) ||
      std::fread(reader->block, 1, length, reader->stream) != length) {
    return std::ferror(reader->stream) ? TRL_ERR_OPEN : TRL_ERR_ELF_CHANGED;
  }
  reader->position = offset + length;
  return TRL_OK;
}

/* Hands writer the source's bytes [from, to) as they are. */
uint32_t CopySource(SourceReader *reader, uint64_t from, uint64_t to, TextWriter writer, void *context) {
  for (uint64_t offset = from; offset < to; offset += COPY_BLOCK_SIZE) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(COPY_BLOCK_SIZE, to - offset));
    const uint32_t status = ReadSource(reader, offset, length);
    if (status != TRL_OK) {
      return status;
    }
    if (!writer(context, reinterpret_cast<const char *>(reader->block), length)) {
      return TRL_ERR_WRITE;
    }
  }
  return TRL_OK;
}

/*
 * The usual case, where no file byte loads at two addresses: section bytes
 * the image holds go to writer straight from the segments, and only the rest
 * of the file (headers, symbols, bytes the image lacks) is read again.
 */
uint32_t WriteByPieces(const FirmwareImage *image, SourceReader *reader, TextWriter writer, void *context) {
  const SegmentList &segments = image->store.segments;
  uint64_t position = 0;
  uint32_t status = TRL_OK;
  for (const ElfPiece &piece : image->elf.pieces) {
    status = CopySource(reader, position, piece.fileOffset, writer, context);
    const uint64_t end = uint64_t{piece.address} + piece.length;
    size_t index = FindSegmentReaching(segments, piece.address);
    for (uint64_t address = piece.address; status == TRL_OK && address < end;) {
      const bool held = index < segments.size() && segments[index].address <= address;
      const uint64_t stop = held ? std::min(SegmentEnd(segments[index]), end)
                                 : index < segments.size() ? std::min<uint64_t>(segments[index].address, end) : end;
      if (!held) {
        const uint64_t fileOffset = piece.fileOffset + (address - piece.address);
        status = CopySource(reader, fileOffset, fileOffset + (stop - address), writer, context);
      } else if (!writer(context, reinterpret_cast<const char *>(segments[index].bytes + (address - segments[index].address)),
                         static_cast<size_t>(stop - address))) {
        status = TRL_ERR_WRITE;
      }
      index += held ? 1 : 0;
      address = stop;
    }
    position = piece.fileOffset + piece.length;
    if (status != TRL_OK) {
      return status;
    }
  }
  return CopySource(reader, position, SourceSize(*reader), writer, context);
}

/* File bytes that load at two addresses, or hold headers: the file block by block, the image laid over each. */
uint32_t WriteByBlocks(const FirmwareImage *image, SourceReader *reader, TextWriter writer, void *context) {
  size_t firstPiece = 0;
  const uint64_t fileSize = SourceSize(*reader);
  for (uint64_t offset = 0; offset < fileSize; offset += COPY_BLOCK_SIZE) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(COPY_BLOCK_SIZE, fileSize - offset));
    uint32_t status = ReadSource(reader, offset, length);
    if (status == TRL_OK) {
      status = OverlayBlock(image, &firstPiece, offset, length, reader->block);
    }
    if (status != TRL_OK) {
      return status;
    }
    if (!writer(context, reinterpret_cast<const char *>(reader->block), length)) {
      return TRL_ERR_WRITE;
    }
  }
  return TRL_OK;
}

}  // namespace

uint32_t CheckElfHolds(const FirmwareImage *image, uint32_t address, uint64_t length) {
  return IsInRuns(image->elf.covered, address, length) ? TRL_OK : TRL_ERR_NO_SECTION;
}

uint32_t ElfWriteImage(const FirmwareImage *image, TextWriter writer, void *context) {
  const ElfSource &source = image->elf;
  if (!source.held) {
    return TRL_ERR_STATE;
  }
  for (const Segment &segment : image->store.segments) {
    if (!IsInRuns(source.loaded, segment.address, segment.length)) {
      return TRL_ERR_NO_SECTION;
    }
  }
  SourceReader reader{&source};
  const uint32_t status = OpenSource(&reader);
  if (status != TRL_OK) {
    return status;
  }
  return source.overlapping ? WriteByBlocks(image, &reader, writer, context) : WriteByPieces(image, &reader, writer, context);
}
