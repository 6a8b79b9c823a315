/*
 * End-to-end tests of Velmark and Velcheck on an ELF executable: the table
 * goes into the section reserved for it, nothing else in the file changes,
 * and what cannot be written into an ELF is refused before anything is saved.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "elf_builder.h"
#include "test_support.h"
#include "velmark_runner.h"

namespace {

using Bytes = std::vector<unsigned char>;

const char *const TABLE_OPTIONS = "-a0800C000 -x0800C000:0800C03F";

CommandResult RunVelcheck(const ScratchFolder &folder, const std::string &arguments) {
  return RunTool("VELCHECK_COMMAND", VELCHECK_PATH, folder.root, arguments);
}

class VelmarkElfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    elf = BuildElf(FirmwareElfLayout());
    WriteFileBytes(folder.Path("fw.elf"), Bytes(elf.bytes.begin(), elf.bytes.end()));
  }
  ScratchFolder folder;
  BuiltElf elf;
};

/* The patched ELF differs from its input only inside the placeholder's first 30 bytes (a table of two entries). */
TEST_F(VelmarkElfTest, PatchesOnlyThePlaceholderAndVelcheckFindsTheTable) {
  const CommandResult marked = RunVelmark(folder, std::string(TABLE_OPTIONS) + " fw.elf out.elf");
  EXPECT_EQ(0, marked.exitCode);
  EXPECT_EQ("", marked.output);
  const Bytes output = ReadFileBytes(folder.Path("out.elf"));
  ASSERT_EQ(elf.bytes.size(), output.size());
  const uint64_t tableOffset = elf.sectionOffsets[2];
  for (size_t offset = 0; offset < output.size(); ++offset) {
    if (offset < tableOffset || offset >= tableOffset + 30) {
      ASSERT_EQ(elf.bytes[offset], output[offset]) << "offset " << offset;
    }
  }
  const CommandResult checked = RunVelcheck(folder, "out.elf");
  EXPECT_EQ(0, checked.exitCode) << checked.output;
  EXPECT_NE(std::string::npos, checked.output.find("OK: 2 of 2 segments match the image\n")) << checked.output;

  /* Written over its input, the ELF comes out the same. */
  ASSERT_EQ(0, RunVelmark(folder, std::string(TABLE_OPTIONS) + " fw.elf fw.elf").exitCode);
  EXPECT_EQ(output, ReadFileBytes(folder.Path("fw.elf")));
}

TEST_F(VelmarkElfTest, TableAloneIsWrittenAsSrecords) {
  ASSERT_EQ(0, RunVelmark(folder, std::string("-t ") + TABLE_OPTIONS + " fw.elf table.srec").exitCode);
  const std::string text = ReadFileText(folder.Path("table.srec"));
  EXPECT_EQ(0u, text.find("S0")) << text;
  EXPECT_NE(std::string::npos, text.find("S3230800C0003755AA23")) << text;
}

struct RefusalCase {
  const char *name;
  const char *arguments;
  uint16_t elfType;
  int exitCode;
  const char *velmarkOutput;
};

TEST_F(VelmarkElfTest, RefusalsSaveNothing) {
  const RefusalCase cases[] = {
      {"table in no section", "-a0800D000 fw.elf out.elf", 2, 6,
       "[ERROR] Could not add the checksum info table data.\n"
       "[ERROR] The ELF file has no section holding 0x0800D000 to 0x0800D01D: reserve one there for the "
       "table, such as a placeholder in the linker script.\n"},
      {"table in .bss", "-a20000010 fw.elf out.elf", 2, 6,
       "[ERROR] Could not add the checksum info table data.\n"
       "[ERROR] The ELF file has no section holding 0x20000010 to 0x2000002D: reserve one there for the "
       "table, such as a placeholder in the linker script.\n"},
      {"relocatable object", "-a0800C000 -x0800C000:0800C03F fw.elf out.elf", 1, 2,
       "[ERROR] Could not load the input file.\n"},
  };
  for (const RefusalCase &row : cases) {
    SCOPED_TRACE(row.name);
    PutElfNumber(&elf, false, 16, row.elfType, 2);
    WriteFileBytes(folder.Path("fw.elf"), Bytes(elf.bytes.begin(), elf.bytes.end()));
    const CommandResult result = RunVelmark(folder, row.arguments);
    EXPECT_EQ(row.exitCode, result.exitCode);
    EXPECT_EQ(row.velmarkOutput, result.output);
    EXPECT_FALSE(FileExists(folder.Path("out.elf")));
  }
  const CommandResult checked = RunVelcheck(folder, "fw.elf");
  EXPECT_EQ(2, checked.exitCode);
  EXPECT_EQ("[ERROR] Could not load the image file: an object file, not a linked executable.\n", checked.output);
}

}  // namespace
