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

/* Copies the image's bytes of [address, address + length) over destination; bytes it lacks stay. */
void OverlayImageBytes(const SegmentList &segments, uint32_t address, uint32_t length, uint8_t *destination) {
  const uint64_t end = uint64_t{address} + length;
  for (size_t index = FindSegmentReaching(segments, address);
       index < segments.size() && segments[index].address < end; ++index) {
    const Segment &segment = segments[index];
    const uint64_t first = std::max<uint64_t>(segment.address, address);
    const uint64_t last = std::min(SegmentEnd(segment), end);
    std::memcpy(destination + (first - address), segment.bytes + (first - segment.address),
                static_cast<size_t>(last - first));
  }
}

/* Lays the image over one block of the file, [blockStart, blockStart + length). */
void OverlayBlock(const FirmwareImage *image, size_t *firstPiece, uint64_t blockStart, size_t length,
                  uint8_t *block) {
  const std::vector<ElfPiece> &pieces = image->elf.pieces;
  const uint64_t blockEnd = blockStart + length;
  /* Blocks ascend: a piece ending before this one is done with. */
  while (*firstPiece < pieces.size() && pieces[*firstPiece].fileOffset + pieces[*firstPiece].length <= blockStart) {
    ++*firstPiece;
  }
  for (size_t index = *firstPiece; index < pieces.size() && pieces[index].fileOffset < blockEnd; ++index) {
    const ElfPiece &piece = pieces[index];
    const uint64_t first = std::max(piece.fileOffset, blockStart);
    const uint64_t last = std::min(piece.fileOffset + piece.length, blockEnd);
    if (first < last) {
      OverlayImageBytes(image->store.segments, static_cast<uint32_t>(piece.address + (first - piece.fileOffset)),
                        static_cast<uint32_t>(last - first), block + (first - blockStart));
    }
  }
}

struct SourceFile {
  FILE *stream = nullptr;
  ~SourceFile() {
    if (stream != nullptr) {
      std::fclose(stream);
    }
  }
};

/* Opens the file an ELF was loaded from, refusing one that changed since: its bytes would no longer match the map. */
uint32_t OpenSource(const ElfSource &source, SourceFile *file) {
  file->stream = std::fopen(source.fileName.c_str(), "rb");
  FileIdentity now{};
  if (file->stream == nullptr || !ReadFileIdentity(file->stream, &now)) {
    return TRL_ERR_ELF_CHANGED;
  }
  const FileIdentity &then = source.identity;
  const bool same = now.size == then.size && now.modified == then.modified && now.device == then.device &&
                    now.inode == then.inode;
  return same ? TRL_OK : TRL_ERR_ELF_CHANGED;
}

}  // namespace

uint32_t CheckElfHolds(const FirmwareImage *image, uint32_t address, uint64_t length) {
  const std::vector<ElfPiece> &covered = image->elf.covered;
  const auto run = std::upper_bound(covered.begin(), covered.end(), address,
                                    [](uint32_t value, const ElfPiece &piece) { return value < piece.address; });
  if (run == covered.begin()) {
    return TRL_ERR_NO_SECTION;
  }
  const ElfPiece &holder = *(run - 1);
  return uint64_t{address} + length <= uint64_t{holder.address} + holder.length ? TRL_OK : TRL_ERR_NO_SECTION;
}

uint32_t ElfWriteImage(const FirmwareImage *image, TextWriter writer, void *context) {
  const ElfSource &source = image->elf;
  if (!source.held) {
    return TRL_ERR_STATE;
  }
  for (const Segment &segment : image->store.segments) {
    if (CheckElfHolds(image, segment.address, segment.length) != TRL_OK) {
      return TRL_ERR_NO_SECTION;
    }
  }
  const bool fromMemory = source.fileName.empty();
  SourceFile file;
  uint32_t status = fromMemory ? static_cast<uint32_t>(TRL_OK) : OpenSource(source, &file);
  const uint64_t fileSize = fromMemory ? source.bytes.size() : source.identity.size;
  auto *block = static_cast<uint8_t *>(std::malloc(COPY_BLOCK_SIZE));
  if (status == TRL_OK && block == nullptr) {
    status = TRL_ERR_MEMORY;
  }
  size_t firstPiece = 0;
  for (uint64_t offset = 0; status == TRL_OK && offset < fileSize; offset += COPY_BLOCK_SIZE) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(COPY_BLOCK_SIZE, fileSize - offset));
    if (fromMemory) {
      std::memcpy(block, source.bytes.data() + offset, length);
    } else if (std::fread(block, 1, length, file.stream) != length) {
      status = std::ferror(file.stream) ? TRL_ERR_OPEN : TRL_ERR_ELF_CHANGED;
      break;
    }
    OverlayBlock(image, &firstPiece, offset, length, block);
    if (!writer(context, reinterpret_cast<const char *>(block), length)) {
      status = TRL_ERR_WRITE;
    }
  }
  std::free(block);
  return status;
}
