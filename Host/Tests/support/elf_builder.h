/* Small ELF executables built in memory for tests, laid out as a table of sections and segments says. */
#ifndef ELF_BUILDER_H
#define ELF_BUILDER_H

#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t ELF_SHT_PROGBITS = 1;
constexpr uint32_t ELF_SHT_NOBITS = 8;
constexpr uint64_t ELF_SHF_WRITE = 1;
constexpr uint64_t ELF_SHF_ALLOC = 2;

struct ElfSectionLayout {
  std::string name;
  uint32_t type;
  uint64_t flags;
  uint64_t address;
  std::vector<uint8_t> bytes; /* for SHT_NOBITS only their count matters */
};

/* A load segment over the sections [firstSection, lastSection], numbered from 1 as in the file. */
struct ElfSegmentLayout {
  uint64_t virtualAddress;
  uint64_t physicalAddress;
  unsigned firstSection;
  unsigned lastSection;
};

struct ElfLayout {
  bool is64 = false;
  bool bigEndian = false;
  uint16_t type = 2; /* ET_EXEC */
  uint64_t entry = 0;
  std::vector<ElfSectionLayout> sections;
  std::vector<ElfSegmentLayout> segments;
};

/* The file, and where its parts went. */
struct BuiltElf {
  std::vector<uint8_t> bytes;
  uint64_t programTable;                /* offset of the program header table */
  uint64_t sectionTable;                /* offset of the section header table */
  std::vector<uint64_t> sectionOffsets; /* file offset of each section's bytes, index 0 for the null section */
  unsigned programEntrySize;
  unsigned sectionEntrySize;
};

BuiltElf BuildElf(const ElfLayout &layout);

/* Stores value in size bytes at offset, in the byte order the file uses. */
void PutElfNumber(BuiltElf *elf, bool bigEndian, uint64_t offset, uint64_t value, unsigned size);

/*
 * A firmware-like ELF32 little-endian executable: code in flash at 0x08000000,
 * a 64-byte placeholder section of zeros at 0x0800C000, initialised data run
 * from RAM at 0x20000000 but loaded from flash right after the placeholder, a
 * .bss, and a symbol table that no image holds.
 */
ElfLayout FirmwareElfLayout();

#endif
