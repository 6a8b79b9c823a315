#include "elf_builder.h"

namespace {

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

}  // namespace

void PutElfNumber(BuiltElf *elf, bool bigEndian, uint64_t offset, uint64_t value, unsigned size) {
  if (elf->bytes.size() < offset + size) {
    elf->bytes.resize(offset + size);
  }
  for (unsigned index = 0; index < size; ++index) {
    elf->bytes[offset + (bigEndian ? size - 1 - index : index)] = static_cast<uint8_t>(value >> (8 * index));
  }
}

BuiltElf BuildElf(const ElfLayout &layout) {
  const bool big = layout.bigEndian;
  const unsigned word = layout.is64 ? 8 : 4;
  const uint64_t headerSize = layout.is64 ? 64 : 52;
  BuiltElf elf{};
  elf.programEntrySize = layout.is64 ? 56 : 32;
  elf.sectionEntrySize = layout.is64 ? 64 : 40;
  elf.programTable = headerSize;

  /* Section bytes after the program headers, then the name table, then the section headers. */
  std::string names(1, '\0');
  std::vector<uint32_t> nameOffsets;
  uint64_t offset = elf.programTable + layout.segments.size() * elf.programEntrySize;
  elf.sectionOffsets.push_back(0);
  for (const ElfSectionLayout &section : layout.sections) {
    offset = AlignUp(offset, 4);
    elf.sectionOffsets.push_back(offset);
    if (section.type != ELF_SHT_NOBITS) {
      offset += section.bytes.size();
    }
    nameOffsets.push_back(static_cast<uint32_t>(names.size()));
    names += section.name + '\0';
  }
  const uint32_t nameTableName = static_cast<uint32_t>(names.size());
  names += std::string(".shstrtab") + '\0';
  const uint64_t nameTable = offset;
  elf.sectionTable = AlignUp(nameTable + names.size(), 8);
  const unsigned sectionCount = static_cast<unsigned>(layout.sections.size()) + 2;
  elf.bytes.assign(elf.sectionTable + sectionCount * elf.sectionEntrySize, 0);

  const uint8_t ident[] = {0x7F, 'E', 'L', 'F', static_cast<uint8_t>(layout.is64 ? 2 : 1),
                           static_cast<uint8_t>(big ? 2 : 1), 1};
  std::copy(ident, ident + sizeof ident, elf.bytes.begin());
  PutElfNumber(&elf, big, 16, layout.type, 2);
  PutElfNumber(&elf, big, 18, 0x28, 2);
  PutElfNumber(&elf, big, 20, 1, 4);
  PutElfNumber(&elf, big, 24, layout.entry, word);
  PutElfNumber(&elf, big, 24 + word, layout.segments.empty() ? 0 : elf.programTable, word);
  PutElfNumber(&elf, big, 24 + 2 * word, elf.sectionTable, word);
  const uint64_t sizes = 24 + 3 * word + 4;
  PutElfNumber(&elf, big, sizes, headerSize, 2);
  PutElfNumber(&elf, big, sizes + 2, elf.programEntrySize, 2);
  PutElfNumber(&elf, big, sizes + 4, layout.segments.size(), 2);
  PutElfNumber(&elf, big, sizes + 6, elf.sectionEntrySize, 2);
  PutElfNumber(&elf, big, sizes + 8, sectionCount, 2);
  PutElfNumber(&elf, big, sizes + 10, sectionCount - 1, 2);

  for (size_t index = 0; index < layout.sections.size(); ++index) {
    const ElfSectionLayout &section = layout.sections[index];
    if (section.type != ELF_SHT_NOBITS) {
      std::copy(section.bytes.begin(), section.bytes.end(), elf.bytes.begin() + elf.sectionOffsets[index + 1]);
    }
  }
  std::copy(names.begin(), names.end(), elf.bytes.begin() + nameTable);

  auto putSection = [&](unsigned index, uint32_t name, uint32_t type, uint64_t flags, uint64_t address,
                        uint64_t fileOffset, uint64_t size) {
    const uint64_t entry = elf.sectionTable + uint64_t{index} * elf.sectionEntrySize;
    PutElfNumber(&elf, big, entry, name, 4);
    PutElfNumber(&elf, big, entry + 4, type, 4);
    PutElfNumber(&elf, big, entry + 8, flags, word);
    PutElfNumber(&elf, big, entry + 8 + word, address, word);
    PutElfNumber(&elf, big, entry + 8 + 2 * word, fileOffset, word);
    PutElfNumber(&elf, big, entry + 8 + 3 * word, size, word);
  };
  for (size_t index = 0; index < layout.sections.size(); ++index) {
    const ElfSectionLayout &section = layout.sections[index];
    putSection(static_cast<unsigned>(index + 1), nameOffsets[index], section.type, section.flags, section.address,
               elf.sectionOffsets[index + 1], section.bytes.size());
  }
  putSection(sectionCount - 1, nameTableName, 3 /* SHT_STRTAB */, 0, 0, nameTable, names.size());

  for (size_t index = 0; index < layout.segments.size(); ++index) {
    const ElfSegmentLayout &segment = layout.segments[index];
    const uint64_t first = elf.sectionOffsets[segment.firstSection];
    uint64_t fileEnd = first;
    uint64_t memoryEnd = first;
    for (unsigned section = segment.firstSection; section <= segment.lastSection; ++section) {
      const ElfSectionLayout &held = layout.sections[section - 1];
      const uint64_t end = elf.sectionOffsets[section] + held.bytes.size();
      memoryEnd = end;
      if (held.type != ELF_SHT_NOBITS) {
        fileEnd = end;
      }
    }
    const uint64_t entry = elf.programTable + index * elf.programEntrySize;
    PutElfNumber(&elf, big, entry, 1 /* PT_LOAD */, 4);
    if (layout.is64) {
      PutElfNumber(&elf, big, entry + 8, first, 8);
      PutElfNumber(&elf, big, entry + 16, segment.virtualAddress, 8);
      PutElfNumber(&elf, big, entry + 24, segment.physicalAddress, 8);
      PutElfNumber(&elf, big, entry + 32, fileEnd - first, 8);
      PutElfNumber(&elf, big, entry + 40, memoryEnd - first, 8);
    } else {
      PutElfNumber(&elf, big, entry + 4, first, 4);
      PutElfNumber(&elf, big, entry + 8, segment.virtualAddress, 4);
      PutElfNumber(&elf, big, entry + 12, segment.physicalAddress, 4);
      PutElfNumber(&elf, big, entry + 16, fileEnd - first, 4);
      PutElfNumber(&elf, big, entry + 20, memoryEnd - first, 4);
    }
  }
  return elf;
}

ElfLayout FirmwareElfLayout() {
  std::vector<uint8_t> code(200);
  for (size_t index = 0; index < code.size(); ++index) {
    code[index] = static_cast<uint8_t>(index * 7 + 3);
  }
  ElfLayout layout;
  layout.entry = 0x08000001;
  layout.sections = {
      {".text", ELF_SHT_PROGBITS, ELF_SHF_ALLOC | 4, 0x08000000, code},
      {".cit", ELF_SHT_PROGBITS, ELF_SHF_ALLOC, 0x0800C000, std::vector<uint8_t>(64, 0)},
      {".data", ELF_SHT_PROGBITS, ELF_SHF_ALLOC | ELF_SHF_WRITE, 0x20000000, {1, 2, 3, 4, 5, 6, 7, 8}},
      {".bss", ELF_SHT_NOBITS, ELF_SHF_ALLOC | ELF_SHF_WRITE, 0x20000008, std::vector<uint8_t>(32)},
      {".symtab", 2, 0, 0, std::vector<uint8_t>(32, 0xAB)},
  };
  layout.segments = {{0x08000000, 0x08000000, 1, 1}, {0x0800C000, 0x0800C000, 2, 2}, {0x20000000, 0x0800C040, 3, 4}};
  return layout;
}
