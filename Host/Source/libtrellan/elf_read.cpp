/*
 * ELF executables into the image: the bytes a flash programmer writes, that
 * is every allocated section's file bytes at its load address. Section bytes
 * go straight from the file into the segments; only the headers are held.
 */
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "range_index.h"
#include "record_read.h"
#include "trellan.h"

namespace {

constexpr uint16_t ET_REL = 1;
constexpr uint16_t ET_EXEC = 2;
constexpr uint16_t ET_DYN = 3;
constexpr uint16_t ET_CORE = 4;
constexpr uint32_t PT_LOAD = 1;
constexpr uint32_t SHT_NULL = 0;
constexpr uint32_t SHT_NOBITS = 8;
constexpr uint64_t SHF_ALLOC = 2;
constexpr uint16_t PN_XNUM = 0xFFFF;
constexpr uint16_t SHN_XINDEX = 0xFFFF;

/* Where the file's bytes come from: memory, or a stream read at offsets. */
struct ElfInput {
  const uint8_t *memory;
  FILE *stream;
  uint64_t size;
};

struct ElfHeader {
  bool is64;
  bool bigEndian;
  uint16_t type;
  uint64_t entry;
  uint64_t programOffset;
  uint64_t sectionOffset;
  uint32_t programCount;
  uint32_t sectionCount;
  uint32_t nameSection;
  uint16_t programEntrySize;
  uint16_t sectionEntrySize;
};

struct ProgramHeader {
  uint32_t type;
  uint64_t offset;
  uint64_t virtualAddress;
  uint64_t physicalAddress;
  uint64_t fileSize;
  uint64_t memorySize;
};

struct SectionHeader {
  uint32_t name;
  uint32_t type;
  uint64_t flags;
  uint64_t address;
  uint64_t offset;
  uint64_t size;
  uint32_t link;
  uint32_t info;
};

uint64_t ReadNumber(const uint8_t *bytes, unsigned size, bool bigEndian) {
  uint64_t value = 0;
  for (unsigned index = 0; index < size; ++index) {
    value = value << 8 | bytes[bigEndian ? index : size - 1 - index];
  }
  return value;
}

/* True when [offset, offset + length) lies inside a file of size bytes. */
bool FitsFile(uint64_t offset, uint64_t length, uint64_t size) {
  return length <= size && offset <= size - length;
}

/* Reads length bytes at offset (inside the file, as checked before); TRL_ERR_OPEN when the read fails. */
uint32_t ReadAt(const ElfInput &input, uint64_t offset, void *buffer, size_t length) {
  if (length == 0) {
    return TRL_OK; /* an empty table may have no buffer at all */
  }
  if (input.memory != nullptr) {
    std::memcpy(buffer, input.memory + offset, length);
    return TRL_OK;
  }
  if (!SeekFile(input.stream, offset) || std::fread(buffer, 1, length, input.stream) != length) {
    return TRL_ERR_OPEN;
  }
  return TRL_OK;
}

uint32_t ReadTable(const ElfInput &input, uint64_t offset, uint64_t count, uint16_t entrySize,
                   std::vector<uint8_t> *table) {
  if (count == 0) {
    return TRL_OK;
  }
  if (count > input.size / entrySize || !FitsFile(offset, count * entrySize, input.size)) {
    return TRL_ERR_ELF;
  }
  table->resize(static_cast<size_t>(count * entrySize));
  return ReadAt(input, offset, table->data(), table->size());
}

SectionHeader DecodeSection(const ElfHeader &header, const uint8_t *entry) {
  const bool big = header.bigEndian;
  const unsigned word = header.is64 ? 8 : 4;
  SectionHeader section{};
  section.name = static_cast<uint32_t>(ReadNumber(entry, 4, big));
  section.type = static_cast<uint32_t>(ReadNumber(entry + 4, 4, big));
  section.flags = ReadNumber(entry + 8, word, big);
  section.address = ReadNumber(entry + 8 + word, word, big);
  section.offset = ReadNumber(entry + 8 + 2 * word, word, big);
  section.size = ReadNumber(entry + 8 + 3 * word, word, big);
  section.link = static_cast<uint32_t>(ReadNumber(entry + 8 + 4 * word, 4, big));
  section.info = static_cast<uint32_t>(ReadNumber(entry + 12 + 4 * word, 4, big));
  return section;
}

ProgramHeader DecodeProgram(const ElfHeader &header, const uint8_t *entry) {
  const bool big = header.bigEndian;
  ProgramHeader program{};
  program.type = static_cast<uint32_t>(ReadNumber(entry, 4, big));
  if (header.is64) {
    program.offset = ReadNumber(entry + 8, 8, big);
    program.virtualAddress = ReadNumber(entry + 16, 8, big);
    program.physicalAddress = ReadNumber(entry + 24, 8, big);
    program.fileSize = ReadNumber(entry + 32, 8, big);
    program.memorySize = ReadNumber(entry + 40, 8, big);
  } else {
    program.offset = ReadNumber(entry + 4, 4, big);
    program.virtualAddress = ReadNumber(entry + 8, 4, big);
    program.physicalAddress = ReadNumber(entry + 12, 4, big);
    program.fileSize = ReadNumber(entry + 16, 4, big);
    program.memorySize = ReadNumber(entry + 20, 4, big);
  }
  return program;
}

uint32_t DecodeHeader(const uint8_t *bytes, uint64_t fileSize, ElfHeader *header) {
  /* Not an ELF after all: to the text formats, a line that is no record. */
  if (fileSize < sizeof ELF_MAGIC || std::memcmp(bytes, ELF_MAGIC, sizeof ELF_MAGIC) != 0) {
    return TRL_ERR_SYNTAX;
  }
  if (fileSize < 16) {
    return TRL_ERR_ELF;
  }
  const uint8_t elfClass = bytes[4];
  const uint8_t encoding = bytes[5];
  if ((elfClass != 1 && elfClass != 2) || (encoding != 1 && encoding != 2) || bytes[6] != 1) {
    return TRL_ERR_ELF;
  }
  header->is64 = elfClass == 2;
  header->bigEndian = encoding == 2;
  const uint64_t headerSize = header->is64 ? 64 : 52;
  if (fileSize < headerSize) {
    return TRL_ERR_ELF;
  }
  const bool big = header->bigEndian;
  const unsigned word = header->is64 ? 8 : 4;
  header->type = static_cast<uint16_t>(ReadNumber(bytes + 16, 2, big));
  header->entry = ReadNumber(bytes + 24, word, big);
  header->programOffset = ReadNumber(bytes + 24 + word, word, big);
  header->sectionOffset = ReadNumber(bytes + 24 + 2 * word, word, big);
  const uint8_t *sizes = bytes + 24 + 3 * word + 4; /* past e_flags */
  const uint16_t ownSize = static_cast<uint16_t>(ReadNumber(sizes, 2, big));
  header->programEntrySize = static_cast<uint16_t>(ReadNumber(sizes + 2, 2, big));
  header->programCount = static_cast<uint32_t>(ReadNumber(sizes + 4, 2, big));
  header->sectionEntrySize = static_cast<uint16_t>(ReadNumber(sizes + 6, 2, big));
  header->sectionCount = static_cast<uint32_t>(ReadNumber(sizes + 8, 2, big));
  header->nameSection = static_cast<uint32_t>(ReadNumber(sizes + 10, 2, big));
  if (header->type == ET_REL || header->type == ET_CORE) {
    return TRL_ERR_NOT_EXECUTABLE;
  }
  if ((header->type != ET_EXEC && header->type != ET_DYN) || ownSize < headerSize) {
    return TRL_ERR_ELF;
  }
  if ((header->programCount != 0 && header->programEntrySize < (header->is64 ? 56 : 32)) ||
      ((header->sectionCount != 0 || header->sectionOffset != 0) &&
       header->sectionEntrySize < (header->is64 ? 64 : 40))) {
    return TRL_ERR_ELF;
  }
  return TRL_OK;
}

/* Section 0 holds the counts that do not fit the header (more than 0xFFFF sections or segments). */
uint32_t ReadExtendedCounts(const ElfInput &input, ElfHeader *header) {
  if (header->sectionOffset == 0 ||
      (header->sectionCount != 0 && header->nameSection != SHN_XINDEX && header->programCount != PN_XNUM)) {
    return TRL_OK;
  }
  std::vector<uint8_t> first;
  const uint32_t status = ReadTable(input, header->sectionOffset, 1, header->sectionEntrySize, &first);
  if (status != TRL_OK) {
    return status;
  }
  const SectionHeader zero = DecodeSection(*header, first.data());
  if (header->sectionCount == 0) {
    if (zero.size > UINT32_MAX) {
      return TRL_ERR_ELF;
    }
    header->sectionCount = static_cast<uint32_t>(zero.size);
  }
  if (header->nameSection == SHN_XINDEX) {
    header->nameSection = zero.link;
  }
  if (header->programCount == PN_XNUM) {
    header->programCount = zero.info;
  }
  return TRL_OK;
}

/* Every section name must end inside the section name table. */
uint32_t CheckSectionNames(const ElfInput &input, const std::vector<SectionHeader> &sections,
                           uint32_t nameSection) {
  if (sections.empty() || nameSection == 0) {
    return TRL_OK;
  }
  if (nameSection >= sections.size() || sections[nameSection].type == SHT_NOBITS) {
    return TRL_ERR_ELF;
  }
  const SectionHeader &table = sections[nameSection];
  if (!FitsFile(table.offset, table.size, input.size)) {
    return TRL_ERR_ELF;
  }
  std::vector<uint8_t> names(static_cast<size_t>(table.size));
  uint32_t status = ReadAt(input, table.offset, names.data(), names.size());
  for (const SectionHeader &section : sections) {
    if (status == TRL_OK && section.type != SHT_NULL &&
        (section.name >= names.size() ||
         std::memchr(names.data() + section.name, 0, names.size() - section.name) == nullptr)) {
      status = TRL_ERR_ELF;
    }
  }
  return status;
}

/* The end of [start, start + length), kept from wrapping: far past 32 bits either way. */
uint64_t EndOf(uint64_t start, uint64_t length) {
  return start <= UINT64_MAX - length ? start + length : UINT64_MAX;
}

/* True when [start, start + length) and [otherStart, otherStart + otherLength) share an address. */
bool IsOverlapping(uint64_t start, uint64_t length, uint64_t otherStart, uint64_t otherLength) {
  return length > 0 && otherLength > 0 && start < EndOf(otherStart, otherLength) &&
         otherStart < EndOf(start, length);
}

uint64_t SegmentLoadAddress(const ProgramHeader &program, bool useVirtual) {
  return useVirtual ? program.virtualAddress : program.physicalAddress;
}

/* Two load segments that write one address leave there whichever the loader takes last: refused. */
uint32_t CheckSegmentsApart(const std::vector<ProgramHeader> &programs, bool useVirtual) {
  std::vector<ProgramHeader> loads;
  for (const ProgramHeader &program : programs) {
    if (program.type == PT_LOAD && program.fileSize > 0) {
      loads.push_back(program);
    }
  }
  std::sort(loads.begin(), loads.end(), [useVirtual](const ProgramHeader &left, const ProgramHeader &right) {
    return SegmentLoadAddress(left, useVirtual) < SegmentLoadAddress(right, useVirtual);
  });
  for (size_t index = 1; index < loads.size(); ++index) {
    if (IsOverlapping(SegmentLoadAddress(loads[index - 1], useVirtual), loads[index - 1].fileSize,
                      SegmentLoadAddress(loads[index], useVirtual), loads[index].fileSize)) {
      return TRL_ERR_CONFLICT;
    }
  }
  return TRL_OK;
}

uint32_t AddPiece(uint64_t fileOffset, uint64_t address, uint64_t length, uint32_t addressOffset,
                  std::vector<ElfPiece> *pieces) {
  if (address >= ADDRESS_SPACE_END) {
    return TRL_ERR_OVERFLOW; /* adding the offset could wrap a 64-bit address round */
  }
  address += addressOffset;
  if (address >= ADDRESS_SPACE_END || length > ADDRESS_SPACE_END - address) {
    return TRL_ERR_OVERFLOW;
  }
  pieces->push_back(ElfPiece{fileOffset, static_cast<uint32_t>(address), static_cast<uint32_t>(length)});
  return TRL_OK;
}

/*
 * The allocated sections with file bytes, each at its load address: where the
 * first load segment holding its file bytes puts them. A section in no segment
 * loads at its own address, unless a load segment writes or clears that
 * memory: the device would then hold the segment's bytes, not the section's,
 * so such a file is refused.
 */
uint32_t AddSectionPieces(const std::vector<ProgramHeader> &programs, bool useVirtual,
                          const std::vector<SectionHeader> &sections, uint32_t addressOffset,
                          std::vector<ElfPiece> *pieces) {
  std::vector<NumberedRange> fileRanges;
  std::vector<NumberedRange> memoryRanges;
  for (size_t index = 0; index < programs.size(); ++index) {
    const ProgramHeader &program = programs[index];
    if (program.type == PT_LOAD) {
      const uint64_t address = SegmentLoadAddress(program, useVirtual);
      fileRanges.push_back(NumberedRange{program.offset, program.offset + program.fileSize, index});
      memoryRanges.push_back(NumberedRange{address, EndOf(address, std::max(program.fileSize, program.memorySize)), index});
    }
  }
  std::vector<const SectionHeader *> loaded;
  std::vector<NumberedRange> wanted;
  for (const SectionHeader &section : sections) {
    if (section.type != SHT_NULL && section.type != SHT_NOBITS && (section.flags & SHF_ALLOC) != 0 &&
        section.size > 0) {
      wanted.push_back(NumberedRange{section.offset, section.offset + section.size, loaded.size()});
      loaded.push_back(&section);
    }
  }
  const std::vector<size_t> holders = FindFirstHolders(fileRanges, wanted);
  const ReachIndex memory = BuildReachIndex(memoryRanges);
  uint32_t status = TRL_OK;
  for (size_t index = 0; status == TRL_OK && index < loaded.size(); ++index) {
    const SectionHeader &section = *loaded[index];
    if (holders[index] != SIZE_MAX) {
      const ProgramHeader &program = programs[holders[index]];
      status = AddPiece(section.offset, EndOf(SegmentLoadAddress(program, useVirtual), section.offset - program.offset),
                        section.size, addressOffset, pieces);
    } else if (IsMetByIndex(memory, section.address, EndOf(section.address, section.size))) {
      status = TRL_ERR_CONFLICT;
    } else {
      status = AddPiece(section.offset, section.address, section.size, addressOffset, pieces);
    }
  }
  return status;
}

/*
 * The bytes to load: the allocated sections with file bytes, or without
 * sections the load segments; and the file bytes that make up the ELF itself.
 */
uint32_t FindPieces(const ElfInput &input, const ElfHeader &header, uint32_t addressOffset,
                    std::vector<ElfPiece> *pieces, std::vector<ElfPiece> *headers) {
  std::vector<uint8_t> table;
  uint32_t status = ReadTable(input, header.programOffset, header.programCount, header.programEntrySize, &table);
  std::vector<ProgramHeader> programs;
  bool everyPhysicalZero = true;
  for (uint32_t index = 0; status == TRL_OK && index < header.programCount; ++index) {
    programs.push_back(DecodeProgram(header, table.data() + size_t{index} * header.programEntrySize));
    const ProgramHeader &program = programs.back();
    if (program.type == PT_LOAD && !FitsFile(program.offset, program.fileSize, input.size)) {
      status = TRL_ERR_ELF;
    }
    everyPhysicalZero = everyPhysicalZero && (program.type != PT_LOAD || program.physicalAddress == 0);
  }
  if (status == TRL_OK && header.sectionOffset != 0) {
    status = ReadTable(input, header.sectionOffset, header.sectionCount, header.sectionEntrySize, &table);
  } else {
    table.clear();
  }
  std::vector<SectionHeader> sections;
  for (uint32_t index = 0; status == TRL_OK && header.sectionOffset != 0 && index < header.sectionCount; ++index) {
    sections.push_back(DecodeSection(header, table.data() + size_t{index} * header.sectionEntrySize));
    const SectionHeader &section = sections.back();
    if (section.type != SHT_NULL && section.type != SHT_NOBITS && !FitsFile(section.offset, section.size, input.size)) {
      status = TRL_ERR_ELF;
    }
  }
  if (status == TRL_OK) {
    status = CheckSectionNames(input, sections, header.nameSection);
  }
  headers->push_back(ElfPiece{0, 0, header.is64 ? 64u : 52u});
  headers->push_back(ElfPiece{header.programOffset, 0, header.programCount * header.programEntrySize});
  if (header.sectionOffset != 0) {
    /* Section 0 is read for the extended counts even where the table then holds no section. */
    headers->push_back(ElfPiece{header.sectionOffset, 0,
                                std::max(static_cast<uint32_t>(table.size()), uint32_t{header.sectionEntrySize})});
    if (header.nameSection != 0 && header.nameSection < sections.size()) {
      const SectionHeader &names = sections[header.nameSection];
      headers->push_back(ElfPiece{names.offset, 0, static_cast<uint32_t>(names.size)});
    }
  }
  if (status == TRL_OK) {
    status = CheckSegmentsApart(programs, everyPhysicalZero);
  }
  if (status == TRL_OK) {
    status = AddSectionPieces(programs, everyPhysicalZero, sections, addressOffset, pieces);
  }
  for (const ProgramHeader &program : programs) {
    if (status == TRL_OK && sections.empty() && program.type == PT_LOAD && program.fileSize > 0) {
      status = AddPiece(program.offset, everyPhysicalZero ? program.virtualAddress : program.physicalAddress,
                        program.fileSize, addressOffset, pieces);
    }
  }
  return status;
}

/*
 * Sections that share file bytes each load them again: many that share much
 * would make a small file fill or compare gigabytes. Linkers give every
 * section bytes of its own, so more bytes than the file holds is a damaged file.
 */
bool IsWithinFileSize(const std::vector<ElfPiece> &pieces, uint64_t fileSize) {
  uint64_t total = 0;
  for (const ElfPiece &piece : pieces) {
    total += piece.length;
    if (total > fileSize) {
      return false;
    }
  }
  return true;
}

/* Buffer for comparing file bytes with bytes already loaded. */
struct CompareBuffer {
  uint8_t *bytes = nullptr;
  ~CompareBuffer() { std::free(bytes); }
};

/*
 * Reads the pieces, in ascending address order, into the image's segments.
 * A piece that overlaps bytes already read must repeat them.
 */
uint32_t ReadPieces(const ElfInput &input, std::vector<ElfPiece> byAddress, FirmwareImage *image) {
  std::sort(byAddress.begin(), byAddress.end(), [](const ElfPiece &left, const ElfPiece &right) {
    return left.address != right.address ? left.address < right.address : left.fileOffset < right.fileOffset;
  });
  /* Where the run of touching pieces that each piece belongs to ends: its segment gets room for exactly that,
     so that it neither moves while it grows nor has spare room to give back. */
  std::vector<uint64_t> runEnds(byAddress.size());
  for (size_t index = byAddress.size(); index-- > 0;) {
    const uint64_t end = uint64_t{byAddress[index].address} + byAddress[index].length;
    const bool touchesNext = index + 1 < byAddress.size() && byAddress[index + 1].address <= end;
    runEnds[index] = touchesNext ? std::max(end, runEnds[index + 1]) : end;
  }
  SegmentStore *store = &image->store;
  CompareBuffer compare;
  for (size_t pieceIndex = 0; pieceIndex < byAddress.size(); ++pieceIndex) {
    const ElfPiece &piece = byAddress[pieceIndex];
    const uint64_t heldEnd = store->segments.empty() ? 0 : SegmentEnd(store->segments.back());
    const uint32_t overlap =
        piece.address < heldEnd ? static_cast<uint32_t>(std::min<uint64_t>(piece.length, heldEnd - piece.address)) : 0;
    /* Bytes from this piece's address up to heldEnd all lie in the last segment: earlier pieces start no later. */
    for (uint32_t done = 0; done < overlap;) {
      if (compare.bytes == nullptr && (compare.bytes = static_cast<uint8_t *>(std::malloc(READ_BLOCK_SIZE))) == nullptr) {
        return TRL_ERR_MEMORY;
      }
      const uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(READ_BLOCK_SIZE, overlap - done));
      const uint32_t status = ReadAt(input, piece.fileOffset + done, compare.bytes, part);
      if (status != TRL_OK) {
        return status;
      }
      const Segment &last = store->segments.back();
      if (std::memcmp(last.bytes + (piece.address + done - last.address), compare.bytes, part) != 0) {
        return TRL_ERR_CONFLICT;
      }
      done += part;
    }
    if (overlap < piece.length) {
      const uint32_t length = piece.length - overlap;
      const uint64_t end = uint64_t{piece.address} + piece.length;
      uint8_t *destination = StoreAppend(store, piece.address + overlap, length,
                                         static_cast<size_t>(std::min<uint64_t>(runEnds[pieceIndex] - end, SIZE_MAX / 2)));
      if (destination == nullptr) {
        return TRL_ERR_MEMORY;
      }
      const uint32_t status = ReadAt(input, piece.fileOffset + overlap, destination, length);
      if (status != TRL_OK) {
        return status;
      }
    }
  }
  return TRL_OK;
}

uint32_t ReadElf(const ElfInput &input, uint32_t addressOffset, FirmwareImage *image) {
  uint8_t first[64] = {};
  const size_t headerBytes = static_cast<size_t>(std::min<uint64_t>(sizeof first, input.size));
  uint32_t status = ReadAt(input, 0, first, headerBytes);
  ElfHeader header{};
  if (status == TRL_OK) {
    status = DecodeHeader(first, input.size, &header);
  }
  if (status == TRL_OK) {
    status = ReadExtendedCounts(input, &header);
  }
  std::vector<ElfPiece> pieces;
  std::vector<ElfPiece> headers;
  if (status == TRL_OK) {
    status = FindPieces(input, header, addressOffset, &pieces, &headers);
  }
  if (status == TRL_OK && pieces.empty()) {
    status = TRL_ERR_EMPTY;
  }
  if (status == TRL_OK && !IsWithinFileSize(pieces, input.size)) {
    status = TRL_ERR_ELF;
  }
  if (status == TRL_OK) {
    status = ReadPieces(input, pieces, image);
  }
  if (status != TRL_OK) {
    return status;
  }
  StoreShrink(&image->store);
  ElfSource &source = image->elf;
  source.loaded = MergeCoverage(pieces);
  bool loadsHeaders = false;
  source.covered = FindChangeableAddresses(pieces, headers, source.loaded, &loadsHeaders);
  source.headers = headers;
  std::sort(pieces.begin(), pieces.end(),
            [](const ElfPiece &left, const ElfPiece &right) { return left.fileOffset < right.fileOffset; });
  source.pieces.swap(pieces);
  source.held = true;
  source.overlapping = loadsHeaders;
  uint64_t reached = 0;
  for (const ElfPiece &piece : source.pieces) {
    source.overlapping = source.overlapping || piece.fileOffset < reached;
    reached = std::max(reached, piece.fileOffset + piece.length);
  }
  const uint64_t entry = header.entry + addressOffset;
  image->hasStartAddress = header.entry < ADDRESS_SPACE_END && entry < ADDRESS_SPACE_END;
  image->startAddress = static_cast<uint32_t>(entry);
  image->fileFormat = TRL_FILE_FORMAT_ELF;
  return TRL_OK;
}

}  // namespace

bool SeekFile(FILE *stream, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(stream, static_cast<long long>(offset), SEEK_SET) == 0;
#else
  return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool ReadFileIdentity(FILE *stream, FileIdentity *identity) {
#ifdef _WIN32
  struct _stat64 status {};
  if (_fstat64(_fileno(stream), &status) != 0) {
    return false;
  }
  *identity = FileIdentity{static_cast<uint64_t>(status.st_size), static_cast<int64_t>(status.st_mtime) * 1000000000,
                           static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
#else
  struct stat status {};
  if (fstat(fileno(stream), &status) != 0) {
    return false;
  }
  *identity = FileIdentity{static_cast<uint64_t>(status.st_size),
                           static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec,
                           static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
#endif
  return true;
}

uint32_t ElfReadMemory(const uint8_t *data, size_t length, uint32_t addressOffset, FirmwareImage *image) {
  const uint32_t status = ReadElf(ElfInput{data, nullptr, length}, addressOffset, image);
  if (status == TRL_OK) {
    image->elf.bytes.assign(data, data + length);
  }
  return status;
}

uint32_t ElfReadStream(FILE *stream, const char *fileName, uint32_t addressOffset, FirmwareImage *image) {
  if (fileName == nullptr) {
    /* A pipe cannot be read at offsets, nor again at the save: hold all of it. */
    std::vector<uint8_t> bytes;
    uint8_t block[64 * 1024];
    for (size_t got; (got = std::fread(block, 1, sizeof block, stream)) > 0;) {
      bytes.insert(bytes.end(), block, block + got);
    }
    if (std::ferror(stream)) {
      return TRL_ERR_OPEN;
    }
    const uint32_t status = ReadElf(ElfInput{bytes.data(), nullptr, bytes.size()}, addressOffset, image);
    if (status == TRL_OK) {
      image->elf.bytes.swap(bytes);
    }
    return status;
  }
  FileIdentity identity{};
  if (!ReadFileIdentity(stream, &identity)) {
    return TRL_ERR_OPEN;
  }
  const uint32_t status = ReadElf(ElfInput{nullptr, stream, identity.size}, addressOffset, image);
  if (status == TRL_OK) {
    image->elf.fileName = fileName;
    image->elf.identity = identity;
  }
  return status;
}
