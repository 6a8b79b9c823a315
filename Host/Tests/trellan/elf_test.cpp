/* ELF in and out: which bytes load where, what is refused, and that a save changes nothing but image bytes. */
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "elf_builder.h"
#include "image_fixture.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t LoadElf(const Bytes &bytes) {
  return TrlFirmwareLoadFromMemory(bytes.data(), bytes.size(), 0);
}

/* Offset of a field in section header index, given as the ELF32 and the ELF64 offsets. */
uint64_t SectionField(const BuiltElf &elf, unsigned index, unsigned field32, unsigned field64) {
  return elf.sectionTable + uint64_t{index} * elf.sectionEntrySize + (elf.sectionEntrySize == 64 ? field64 : field32);
}

Bytes Code() {
  return FirmwareElfLayout().sections[0].bytes;
}

Bytes Joined(Bytes first, const Bytes &second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

struct LoadCase {
  const char *name;
  std::function<void(ElfLayout *)> changeLayout;
  std::function<void(BuiltElf *)> changeFile;
  SegmentSnapshot expected;
};

TEST_F(ImageTest, ElfSectionsLoadAtTheirLoadAddresses) {
  const Bytes placeholderAndData = Joined(Bytes(64, 0), {1, 2, 3, 4, 5, 6, 7, 8});
  const SegmentSnapshot firmware{{0x08000000, Code()}, {0x0800C000, placeholderAndData}};
  const LoadCase cases[] = {
      {"data loads from flash", nullptr, nullptr, firmware},
      {"big-endian ELF64", [](ElfLayout *layout) { layout->is64 = layout->bigEndian = true; }, nullptr, firmware},
      {"every physical address 0: virtual ones",
       [](ElfLayout *layout) {
         for (ElfSegmentLayout &segment : layout->segments) segment.physicalAddress = 0;
       },
       nullptr, {{0x08000000, Code()}, {0x0800C000, Bytes(64, 0)}, {0x20000000, {1, 2, 3, 4, 5, 6, 7, 8}}}},
      {"a RAM address in the header of a section in flash",
       [](ElfLayout *layout) { layout->sections[1].address = 0x20001000; }, nullptr, firmware},
      {"a section in no segment: its own address",
       [](ElfLayout *layout) { layout->segments.pop_back(); }, nullptr,
       {{0x08000000, Code()}, {0x0800C000, Bytes(64, 0)}, {0x20000000, {1, 2, 3, 4, 5, 6, 7, 8}}}},
      {"no section headers: the load segments",
       nullptr,
       [](BuiltElf *elf) {
         PutElfNumber(elf, false, 32, 0, 4); /* e_shoff */
         PutElfNumber(elf, false, 48, 0, 2); /* e_shnum */
       },
       firmware},
  };
  for (const LoadCase &row : cases) {
    SCOPED_TRACE(row.name);
    ElfLayout layout = FirmwareElfLayout();
    if (row.changeLayout) row.changeLayout(&layout);
    BuiltElf elf = BuildElf(layout);
    if (row.changeFile) row.changeFile(&elf);
    ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
    ASSERT_EQ(TRL_OK, LoadElf(elf.bytes));
    EXPECT_EQ(row.expected, Segments());
    EXPECT_EQ(TRL_FILE_FORMAT_ELF, TrlFirmwareGetFileFormat());
    uint32_t start = 0;
    EXPECT_EQ(1u, TrlFirmwareGetStartAddress(&start));
    EXPECT_EQ(0x08000001u, start);
  }
}

struct RefusalCase {
  const char *name;
  bool is64;
  std::function<void(BuiltElf *)> damage;
  uint32_t status;
};

TEST_F(ImageTest, DamagedElfsAreRefusedLeavingTheImageAlone) {
  const RefusalCase cases[] = {
      {"truncated header", false, [](BuiltElf *elf) { elf->bytes.resize(40); }, TRL_ERR_ELF},
      {"unknown class", false, [](BuiltElf *elf) { elf->bytes[4] = 3; }, TRL_ERR_ELF},
      {"section bytes past the end",
       false, [](BuiltElf *elf) { PutElfNumber(elf, false, SectionField(*elf, 1, 20, 32), 1u << 20, 4); },
       TRL_ERR_ELF},
      {"program header table past the end",
       false, [](BuiltElf *elf) { PutElfNumber(elf, false, 28, elf->bytes.size() - 8, 4); }, TRL_ERR_ELF},
      {"section header table past the end",
       false, [](BuiltElf *elf) { elf->bytes.resize(elf->bytes.size() - 1); }, TRL_ERR_ELF},
      {"segment bytes past the end",
       false, [](BuiltElf *elf) { PutElfNumber(elf, false, elf->programTable + 16, 1u << 20, 4); }, TRL_ERR_ELF},
      {"section name past its string table",
       false, [](BuiltElf *elf) { PutElfNumber(elf, false, SectionField(*elf, 2, 0, 0), 0x1000, 4); }, TRL_ERR_ELF},
      {"relocatable object", false, [](BuiltElf *elf) { PutElfNumber(elf, false, 16, 1, 2); }, TRL_ERR_NOT_EXECUTABLE},
      {"core file", false, [](BuiltElf *elf) { PutElfNumber(elf, false, 16, 4, 2); }, TRL_ERR_NOT_EXECUTABLE},
      {"ELF64 section past 0xFFFFFFFF",
       true, [](BuiltElf *elf) { PutElfNumber(elf, false, elf->programTable + 24, 0x100000000ull, 8); },
       TRL_ERR_OVERFLOW},
      {"two sections, one address, different bytes",
       false, [](BuiltElf *elf) { PutElfNumber(elf, false, elf->programTable + 32 + 12, 0x08000000, 4); },
       TRL_ERR_CONFLICT},
      {"a segment loading other bytes over a segment's addresses",
       false,
       [](BuiltElf *elf) {
         PutElfNumber(elf, false, elf->programTable + 32 + 4, elf->sectionOffsets[5], 4);
         PutElfNumber(elf, false, elf->programTable + 32 + 12, 0x08000010, 4);
       },
       TRL_ERR_CONFLICT},
      {"a section in no segment where a segment clears memory",
       false,
       [](BuiltElf *elf) {
         PutElfNumber(elf, false, elf->programTable + 32, 0, 4); /* .cit's segment becomes PT_NULL */
         PutElfNumber(elf, false, elf->programTable + 20, 0x10000, 4);
       },
       TRL_ERR_CONFLICT},
      {"sections holding more bytes than the file",
       false,
       [](BuiltElf *elf) {
         PutElfNumber(elf, false, SectionField(*elf, 4, 4, 4), 1, 4); /* .bss becomes PROGBITS over the whole file */
         PutElfNumber(elf, false, SectionField(*elf, 4, 16, 24), 0, 4);
         PutElfNumber(elf, false, SectionField(*elf, 4, 20, 32), elf->bytes.size(), 4);
       },
       TRL_ERR_ELF},
  };
  for (const RefusalCase &row : cases) {
    SCOPED_TRACE(row.name);
    ElfLayout layout = FirmwareElfLayout();
    layout.is64 = row.is64;
    BuiltElf elf = BuildElf(layout);
    row.damage(&elf);
    EXPECT_EQ(row.status, LoadElf(elf.bytes));
    EXPECT_TRUE(Segments().empty());
    EXPECT_EQ(TRL_FILE_FORMAT_SREC, TrlFirmwareGetFileFormat());
  }
  EXPECT_STREQ("an object file, not a linked executable", TrlStatusText(TRL_ERR_NOT_EXECUTABLE));
}

TEST_F(ImageTest, ElfSaveChangesOnlyTheImageBytesInTheirSections) {
  const BuiltElf elf = BuildElf(FirmwareElfLayout());
  ASSERT_EQ(TRL_OK, LoadElf(elf.bytes));
  const Bytes table{0x37, 0x55, 0xAA, 0x23};
  ASSERT_EQ(TRL_OK, TrlFirmwareCheckSaveRange(0x0800C000, 64));
  ASSERT_EQ(TRL_OK, TrlFirmwareAddData(0x0800C000, 4, table.data()));
  ASSERT_EQ(TRL_OK, TrlFirmwareRemoveData(0x08000000, 1));
  const std::string saved = Saved();
  Bytes expected = elf.bytes;
  std::copy(table.begin(), table.end(), expected.begin() + elf.sectionOffsets[2]);
  EXPECT_EQ(expected, Bytes(saved.begin(), saved.end()));

  /* Bytes past the flash copy of .data, or in .bss, have nowhere to go in the file. */
  EXPECT_EQ(TRL_ERR_NO_SECTION, TrlFirmwareCheckSaveRange(0x0800C044, 8));
  EXPECT_EQ(TRL_ERR_NO_SECTION, TrlFirmwareCheckSaveRange(0x20000008, 1));
  ASSERT_EQ(TRL_OK, TrlFirmwareAddData(0x0800D000, 4, table.data()));
  size_t length = 0;
  EXPECT_EQ(TRL_ERR_NO_SECTION, TrlFirmwareSaveToMemory(nullptr, 0, &length));
  ASSERT_EQ(TRL_OK, TrlFirmwareSetFileFormat(TRL_FILE_FORMAT_SREC));
  EXPECT_EQ(TRL_OK, TrlFirmwareCheckSaveRange(0x0800D000, 4));
}

TEST_F(ImageTest, ElfFormatNeedsALoadedElf) {
  EXPECT_EQ(TRL_ERR_ARGUMENT, TrlFirmwareSetFileFormat(TRL_FILE_FORMAT_ELF));
  EXPECT_EQ(TRL_ERR_ARGUMENT, TrlFirmwareInit(TRL_FILE_FORMAT_ELF));
}

TEST_F(ImageTest, ElfSaveRefusesAFileChangedSinceTheLoad) {
  ScratchFolder folder;
  const std::string input = folder.Path("fw.elf");
  const BuiltElf elf = BuildElf(FirmwareElfLayout());
  WriteFileBytes(input, elf.bytes);
  ASSERT_EQ(TRL_OK, TrlFirmwareLoadFromFile(input.c_str(), 0));
  Bytes changed = elf.bytes;
  changed.push_back(0);
  WriteFileBytes(input, changed);
  EXPECT_EQ(TRL_ERR_ELF_CHANGED, TrlFirmwareSaveToFile(folder.Path("out.elf").c_str()));
  EXPECT_FALSE(FileExists(folder.Path("out.elf")));
}

}  // namespace

namespace {

TEST_F(ImageTest, ElfHeadersThatASegmentLoadsCannotBeChanged) {
  BuiltElf elf = BuildElf(FirmwareElfLayout());
  const uint32_t textOffset = static_cast<uint32_t>(elf.sectionOffsets[1]);
  const uint32_t base = 0x08000000 - textOffset;
  PutElfNumber(&elf, false, 32, 0, 4); /* no section headers: the segments are read */
  PutElfNumber(&elf, false, 48, 0, 2);
  PutElfNumber(&elf, false, elf.programTable + 4, 0, 4);
  PutElfNumber(&elf, false, elf.programTable + 8, base, 4);
  PutElfNumber(&elf, false, elf.programTable + 12, base, 4);
  PutElfNumber(&elf, false, elf.programTable + 16, textOffset + 200, 4);
  ASSERT_EQ(TRL_OK, LoadElf(elf.bytes));
  EXPECT_EQ(TRL_ERR_NO_SECTION, TrlFirmwareCheckSaveRange(base + 16, 1));
  EXPECT_EQ(TRL_OK, TrlFirmwareCheckSaveRange(0x08000000, 200));
  const uint8_t changed = 0x55;
  ASSERT_EQ(TRL_OK, TrlFirmwareAddData(base + 16, 1, &changed));
  size_t length = 0;
  EXPECT_EQ(TRL_ERR_NO_SECTION, TrlFirmwareSaveToMemory(nullptr, 0, &length));
}

/* Bytes loading both where the ELF header's first bytes load and elsewhere: the elsewhere cannot change either. */
TEST_F(ImageTest, ElfBytesThatAlsoLoadWhereHeadersLoadCannotBeChanged) {
  const Bytes magic{0x7F, 'E', 'L', 'F'};
  ElfLayout layout;
  layout.sections = {{".h", ELF_SHT_PROGBITS, ELF_SHF_ALLOC, 0x2000, Bytes(4, 0)},
                     {".x", ELF_SHT_PROGBITS, ELF_SHF_ALLOC, 0x2000, magic},
                     {".y", ELF_SHT_PROGBITS, ELF_SHF_ALLOC, 0x3000, Bytes(4, 0)},
                     {".free", ELF_SHT_PROGBITS, ELF_SHF_ALLOC, 0x4000, {1, 2, 3, 4}}};
  BuiltElf elf = BuildElf(layout);
  PutElfNumber(&elf, false, SectionField(elf, 1, 16, 24), 0, 4);                      /* .h: the ELF header's */
  PutElfNumber(&elf, false, SectionField(elf, 3, 16, 24), elf.sectionOffsets[2], 4); /* .y: those of .x */
  ASSERT_EQ(TRL_OK, LoadElf(elf.bytes));
  EXPECT_EQ(TRL_ERR_NO_SECTION, TrlFirmwareCheckSaveRange(0x3000, 1));
  EXPECT_EQ(TRL_OK, TrlFirmwareCheckSaveRange(0x4000, 4));
  const uint8_t changed = 0x55;
  ASSERT_EQ(TRL_OK, TrlFirmwareAddData(0x3000, 1, &changed));
  size_t length = 0;
  EXPECT_NE(TRL_OK, TrlFirmwareSaveToMemory(nullptr, 0, &length));
}

}  // namespace
