/* Velmark against hostile inputs and outputs: clean errors, bounded memory, nothing damaged. */
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "srec_text.h"
#include "table_reader.h"
#include "test_support.h"
#include "velmark_runner.h"

namespace {

const std::string LOAD_ERROR = "[ERROR] Could not load the input file.\n";
const std::string SAVE_ERROR = "[ERROR] Could not save output file.\n";

class VelmarkFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFileText(folder.Path("in.srec"), SampleImage()); }
  ScratchFolder folder;
};

TEST_F(VelmarkFaultTest, OutputsThatCannotBeWrittenFailWithExit3AndDamageNothing) {
  mkdir(folder.Path("folder.srec").c_str(), 0755);
  WriteFileText(folder.Path("folder.srec/inside"), "x");
  /* Files without write permission: VelmarkOutput, as an unprivileged user. */
  for (const char *output : {"folder.srec", "missing/out.srec", "/dev/full"}) {
    CommandResult result = RunVelmark(folder, std::string("-a0800C000 in.srec ") + output);
    EXPECT_EQ(3, result.exitCode) << output;
    EXPECT_EQ(SAVE_ERROR, result.output) << output;
  }
  EXPECT_EQ(std::vector<std::string>{"inside"}, ListFolder(folder.Path("folder.srec")));
  EXPECT_EQ((std::vector<std::string>{"folder.srec", "in.srec"}), ListFolder(folder.root));
}

TEST_F(VelmarkFaultTest, EveryFailedRunLeavesAnExistingOutputAsItWas) {
  WriteFileText(folder.Path("out.srec"), "precious\n");
  WriteFileText(folder.Path("bad.srec"), SampleImage() + "S1FF\n");
  const std::vector<std::pair<std::string, int>> runs = {
      {"-a0800C000 missing.srec out.srec", 2},      /* cannot open */
      {"-a0800C000 bad.srec out.srec", 2},          /* malformed */
      {"-a08000000 in.srec out.srec", 6},           /* table over data */
      {"-x0:FFFFFFFF -a0800C000 in.srec out.srec", 7},  /* removal */
      {"-a0800C000 in.srec o", 1},                  /* command line */
  };
  for (const auto &[arguments, exitCode] : runs) {
    CommandResult result = RunVelmark(folder, arguments);
    EXPECT_EQ(exitCode, result.exitCode) << arguments;
    if (exitCode == 2) {
      EXPECT_EQ(LOAD_ERROR, result.output) << arguments;
    }
    EXPECT_EQ("precious\n", ReadFileText(folder.Path("out.srec"))) << arguments;
  }
}

TEST_F(VelmarkFaultTest, ExcludedRangeReloadNeedsAnInputThatCanBeReadAgain) {
  if (VelmarkRunsUnderWine()) {
    GTEST_SKIP() << "FIFOs and /dev/stdin are Unix matters";
  }
  ASSERT_EQ(0, mkfifo(folder.Path("in.fifo").c_str(), 0644));
  RunCommand("cd " + ShellQuote(folder.root) + " && (cat in.srec > in.fifo) >/dev/null 2>&1 &");
  /* Bounded: a reload that waits on the FIFO again would never end. */
  CommandResult result =
      RunVelmark(folder, "-x08001000:080010FF -a0800C000 in.fifo out.srec", "timeout 120 ");
  EXPECT_EQ(2, result.exitCode);
  EXPECT_EQ(LOAD_ERROR, result.output);
  EXPECT_FALSE(FileExists(folder.Path("out.srec")));
  result = RunVelmark(folder, "-x08001000:080010FF -a0800C000 /dev/stdin out.srec < in.srec");
  EXPECT_EQ(0, result.exitCode);
  EXPECT_EQ("", result.output);
}

TEST_F(VelmarkFaultTest, InputThatIsAFolderOrHugeGarbageFailsCleanlyInLittleMemory) {
  mkdir(folder.Path("folder").c_str(), 0755);
  CommandResult result = RunVelmark(folder, "-a0800C000 folder out.srec");
  EXPECT_EQ(2, result.exitCode);
  EXPECT_EQ(LOAD_ERROR, result.output);

  /* 200 MB of garbage: sparse zeros with no line end, and lines of text that are no records. */
  FILE *file = std::fopen(folder.Path("zeros.srec").c_str(), "wb");
  ASSERT_NE(nullptr, file);
  ASSERT_EQ(0, ftruncate(fileno(file), 200L * 1000 * 1000));
  std::fclose(file);
  std::string line = Srec('3', 0x08000000, Ramp(32));
  line.replace(20, 4, "zzzz");
  std::string block;
  while (block.size() < (1u << 20)) block += line;
  file = std::fopen(folder.Path("lines.srec").c_str(), "wb");
  ASSERT_NE(nullptr, file);
  for (int index = 0; index < 200; ++index) std::fwrite(block.data(), 1, block.size(), file);
  std::fclose(file);

  for (const char *input : {"zeros.srec", "lines.srec"}) {
    result = RunVelmark(folder, std::string("-a0800C000 ") + input + " out.srec");
    EXPECT_EQ(2, result.exitCode) << input;
    EXPECT_EQ(LOAD_ERROR, result.output) << input;
    EXPECT_LT(result.peakMemoryKiB, 64 * 1024) << input;
  }
  EXPECT_FALSE(FileExists(folder.Path("out.srec")));
}

TEST_F(VelmarkFaultTest, DataWrappingPastTheAddressSpaceIsRefused) {
  WriteFileText(folder.Path("wrap.srec"), Srec('3', 0xFFFFFFF0, Ramp(32)));
  EXPECT_EQ(2, RunVelmark(folder, "-a0800C000 wrap.srec out.srec").exitCode);
  WriteFileText(folder.Path("top.srec"), Srec('3', 0xFFFFFFE0, Ramp(32)));
  EXPECT_EQ(0, RunVelmark(folder, "-a0800C000 top.srec out.srec").exitCode);
}

TEST_F(VelmarkFaultTest, HundredThousandTinySegmentsAllGetTheirEntries) {
  std::string text;
  for (uint32_t index = 0; index < 100000; ++index) {
    text += Srec('3', 0x10000000 + index * 4, {static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8)});
  }
  WriteFileText(folder.Path("tiny.srec"), text);
  ASSERT_EQ(0, RunVelmark(folder, "-a20000000 tiny.srec out.srec").exitCode);
  ImageSegments input = LoadImageFile(folder.Path("tiny.srec"));
  ASSERT_EQ(100000u, input.size());
  ChecksumTable table = ReadTable(LoadImageFile(folder.Path("out.srec")), 0x20000000, 100000);
  EXPECT_EQ(100000 % 256, table.countByte);
  EXPECT_EQ(ExpectedEntries(input), table.entries);
}

}  // namespace
