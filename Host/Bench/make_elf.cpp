/*
 * Writes the end-to-end benchmark ELF: an ARM executable as a linker lays it
 * out, with 16, 8 and 8 MiB of pseudo-random bytes in .flash1 to .flash3 at
 * 0x08000000, 0x09000000 and 0x0A000000 (one load segment each), a 256-byte
 * placeholder .cit of 0xFF at 0x0B000000 for the table, then the section
 * names and the section headers.
 * Usage: make_elf OUTPUT
 */
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Section {
  const char *name;
  uint32_t address;
  uint32_t size;
};

const Section SECTIONS[] = {{".flash1", 0x08000000, 16u << 20},
                            {".flash2", 0x09000000, 8u << 20},
                            {".flash3", 0x0A000000, 8u << 20},
                            {".cit", 0x0B000000, 0x100}};
constexpr uint32_t SECTION_COUNT = sizeof SECTIONS / sizeof SECTIONS[0];
constexpr uint32_t HEADER_SIZE = 52;
constexpr uint32_t PROGRAM_ENTRY_SIZE = 32;
constexpr uint32_t SECTION_ENTRY_SIZE = 40;
constexpr uint32_t DATA_START = 0x1000;

void Put(std::vector<uint8_t> *bytes, size_t offset, uint32_t value, unsigned size) {
  for (unsigned index = 0; index < size; ++index) {
    (*bytes)[offset + index] = static_cast<uint8_t>(value >> (8 * index));
  }
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_elf OUTPUT\n");
    return 2;
  }
  uint32_t offset = DATA_START;
  std::vector<uint32_t> offsets;
  std::string names(1, '\0');
  std::vector<uint32_t> nameOffsets;
  for (const Section &section : SECTIONS) {
    offsets.push_back(offset);
    offset += section.size;
    nameOffsets.push_back(static_cast<uint32_t>(names.size()));
    names += std::string(section.name) + '\0';
  }
  const uint32_t namesName = static_cast<uint32_t>(names.size());
  names += std::string(".shstrtab") + '\0';
  const uint32_t namesOffset = offset;
  const uint32_t sectionTable = (namesOffset + static_cast<uint32_t>(names.size()) + 3) / 4 * 4;
  std::vector<uint8_t> file(sectionTable + (SECTION_COUNT + 2) * SECTION_ENTRY_SIZE);

  const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 1, 1, 1};
  std::copy(ident, ident + sizeof ident, file.begin());
  Put(&file, 16, 2, 2);    /* ET_EXEC */
  Put(&file, 18, 40, 2);   /* EM_ARM */
  Put(&file, 20, 1, 4);
  Put(&file, 24, SECTIONS[0].address + 1, 4);
  Put(&file, 28, HEADER_SIZE, 4);
  Put(&file, 32, sectionTable, 4);
  Put(&file, 36, 0x05000200, 4);
  Put(&file, 40, HEADER_SIZE, 2);
  Put(&file, 42, PROGRAM_ENTRY_SIZE, 2);
  Put(&file, 44, SECTION_COUNT, 2);
  Put(&file, 46, SECTION_ENTRY_SIZE, 2);
  Put(&file, 48, SECTION_COUNT + 2, 2);
  Put(&file, 50, SECTION_COUNT + 1, 2);

  uint32_t state = 2024;
  for (uint32_t index = 0; index < SECTION_COUNT; ++index) {
    const Section &section = SECTIONS[index];
    for (uint32_t byte = 0; byte < section.size; ++byte) {
      state = state * 1103515245u + 12345u;
      file[offsets[index] + byte] = index + 1 == SECTION_COUNT ? 0xFF : static_cast<uint8_t>(state >> 16);
    }
    const size_t program = HEADER_SIZE + index * PROGRAM_ENTRY_SIZE;
    Put(&file, program, 1, 4); /* PT_LOAD */
    Put(&file, program + 4, offsets[index], 4);
    Put(&file, program + 8, section.address, 4);
    Put(&file, program + 12, section.address, 4);
    Put(&file, program + 16, section.size, 4);
    Put(&file, program + 20, section.size, 4);
    Put(&file, program + 24, 5, 4); /* R + X */
    Put(&file, program + 28, 0x1000, 4);
    const size_t entry = sectionTable + (index + 1) * SECTION_ENTRY_SIZE;
    Put(&file, entry, nameOffsets[index], 4);
    Put(&file, entry + 4, 1, 4); /* SHT_PROGBITS */
    Put(&file, entry + 8, 6, 4); /* SHF_ALLOC | SHF_EXECINSTR */
    Put(&file, entry + 12, section.address, 4);
    Put(&file, entry + 16, offsets[index], 4);
    Put(&file, entry + 20, section.size, 4);
    Put(&file, entry + 32, 4, 4);
  }
  std::copy(names.begin(), names.end(), file.begin() + namesOffset);
  const size_t namesEntry = sectionTable + (SECTION_COUNT + 1) * SECTION_ENTRY_SIZE;
  Put(&file, namesEntry, namesName, 4);
  Put(&file, namesEntry + 4, 3, 4); /* SHT_STRTAB */
  Put(&file, namesEntry + 16, namesOffset, 4);
  Put(&file, namesEntry + 20, static_cast<uint32_t>(names.size()), 4);
  Put(&file, namesEntry + 32, 1, 4);

  FILE *output = std::fopen(argv[1], "wb");
  const bool written = output != nullptr && std::fwrite(file.data(), 1, file.size(), output) == file.size();
  if (output == nullptr || std::fclose(output) != 0 || !written) {
    std::fprintf(stderr, "make_elf: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
