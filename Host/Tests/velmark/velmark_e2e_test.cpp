/*
 * End-to-end tests: run the built Velmark on small S-record files and check
 * its exact output, exit code and the file it writes.
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "srec_text.h"
#include "table_reader.h"
#include "test_support.h"
#include "trellan.h"
#include "velmark_runner.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t MAGIC = 0x23AA5537;

const std::string BANNER_AND_USAGE =
    std::string(74, '-') + "\n" +
    "Velmark version 1.3.1. Adds a checksum info table to an S-record file.\n"
    "Made by the Velmark developers.\n" +
    std::string(73, '-') + "\n" +
    "Usage:    Velmark [options] [input file] [output file]\n"
    "\n"
    "Example:  Velmark -a0800C000 demoprog.srec demoprog_checksum.srec\n"
    "\n"
    "Available options:\n"
    "  -a[value]         Specifies the base address of where the checksum info\n"
    "                    table will be added. Specify the value as a 32-bit\n"
    "                    hexadecimal value.\n"
    "  -t                Only output the checksum info table into the output\n"
    "                    file.\n"
    "  -x[value]:[value] Specifies an address range that is to be excluded.\n"
    "                    The first value is the start address and the second\n"
    "                    value is the end address. Specify both addresses as\n"
    "                    32-bit hexadecimal values e.g. -x08000000:08000FFF.\n"
    "\n" +
    std::string(73, '-') + "\n";
const std::string COMMAND_LINE_ERROR =
    BANNER_AND_USAGE + "[ERROR] Incorrect command line parameters specified.\n";

/* The CRC that srec_cat computes over one segment of an S-record file, as its two bytes. */
uint16_t PeerCrc(const std::string &file, uint32_t address, uint32_t length) {
  const uint32_t crcAddress = address + length;
  std::ostringstream command;
  command << "srec_cat " << ShellQuote(file) << " -crop " << address << " " << crcAddress
          << " -crc16-l-e " << crcAddress << " -broken -crop " << crcAddress << " "
          << crcAddress + 2 << " -offset -" << crcAddress << " -o - -binary";
  CommandResult result = RunCommand(command.str());
  EXPECT_EQ(0, result.exitCode);
  EXPECT_EQ(2u, result.output.size()) << command.str();
  if (result.output.size() != 2) return 0;
  return static_cast<uint16_t>(static_cast<uint8_t>(result.output[0]) |
                               static_cast<uint8_t>(result.output[1]) << 8);
}

/* srec_cat must read the file without a word, and agree with every entry's CRC. */
void ExpectPeerAgrees(const std::string &file, const std::vector<TableEntry> &entries) {
  if (!HasProgram("srec_cat")) {
    ADD_FAILURE() << "srec_cat is not installed (Debian package srecord)";
    return;
  }
  CommandResult read = RunCommand("srec_cat " + ShellQuote(file) + " -o /dev/null 2>&1");
  EXPECT_EQ(0, read.exitCode);
  EXPECT_EQ("", read.output);
  for (const TableEntry &entry : entries) {
    EXPECT_EQ(entry.crc, PeerCrc(file, entry.address, entry.length)) << entry.address;
  }
}

class VelmarkTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFileText(folder.Path("in.srec"), SampleImage()); }
  ScratchFolder folder;
};

TEST_F(VelmarkTest, AddsTableSilentlyAndKeepsTheImage) {
  CommandResult result = RunVelmark(folder, "-a0800C000 in.srec out.srec");
  EXPECT_EQ(0, result.exitCode);
  EXPECT_EQ("", result.output);
  ImageSegments input = LoadImageFile(folder.Path("in.srec"));
  ImageSegments output = LoadImageFile(folder.Path("out.srec"));
  ASSERT_EQ(4u, output.size());
  EXPECT_EQ(input, ImageSegments(output.begin(), output.begin() + 3));
  EXPECT_EQ(0x0800C000u, output[3].first);
  EXPECT_EQ(40u, output[3].second.size());

  ChecksumTable table = ReadTable(output, 0x0800C000, 3);
  EXPECT_EQ(MAGIC, table.magic);
  EXPECT_EQ(3, table.countByte);
  EXPECT_EQ(0u, table.reserved);
  EXPECT_EQ(ExpectedEntries(input), table.entries);
  EXPECT_EQ((TableEntry{0x08000000, 0x100, table.entries[0].crc}), table.entries[0]);
  ExpectPeerAgrees(folder.Path("out.srec"), table.entries);

  /* Header and start address survive; records are S3 like the input. */
  const std::string text = ReadFileText(folder.Path("out.srec"));
  EXPECT_EQ(0u, text.find(Srec('0', 0, {'d', 'e', 'm', 'o'})));
  EXPECT_NE(std::string::npos, text.find(Srec('7', 0x08000000)));
}

TEST_F(VelmarkTest, ExcludedRangeIsLeftOutOfChecksumsButStaysInTheImage) {
  CommandResult result = RunVelmark(folder, "-x08001000:080010FF -a08001000 in.srec out.srec");
  EXPECT_EQ(0, result.exitCode);
  EXPECT_EQ("", result.output);
  ImageSegments input = LoadImageFile(folder.Path("in.srec"));
  ImageSegments output = LoadImageFile(folder.Path("out.srec"));
  ChecksumTable table = ReadTable(output, 0x08001000, 3);
  EXPECT_EQ(MAGIC, table.magic);
  ImageSegments described = input;
  described[2] = {0x08001100, Bytes(input[2].second.begin() + 0x100, input[2].second.end())};
  EXPECT_EQ(ExpectedEntries(described), table.entries);
  ExpectPeerAgrees(folder.Path("out.srec"), table.entries);
  /* The placeholder's bytes after the table are still there. */
  EXPECT_EQ(Bytes(0x100 - 40, 0xFF), ImageBytes(output, 0x08001000 + 40, 0x100 - 40));
  EXPECT_EQ(input[0], output[0]);
  EXPECT_EQ(input[1], output[1]);
}

TEST_F(VelmarkTest, TableOnlyOutputHoldsJustTheTable) {
  ASSERT_EQ(0, RunVelmark(folder, "-t -a0800C000 in.srec out.srec").exitCode);
  ImageSegments output = LoadImageFile(folder.Path("out.srec"));
  ASSERT_EQ(1u, output.size());
  EXPECT_EQ(0x0800C000u, output[0].first);
  ChecksumTable table = ReadTable(output, 0x0800C000, 3);
  EXPECT_EQ(ExpectedEntries(LoadImageFile(folder.Path("in.srec"))), table.entries);

  ASSERT_EQ(0, RunVelmark(folder, "-t -x08001000:080010FF -a0800C000 in.srec t2.srec").exitCode);
  output = LoadImageFile(folder.Path("t2.srec"));
  ASSERT_EQ(1u, output.size());
  EXPECT_EQ(0x08001100u, ReadTable(output, 0x0800C000, 3).entries[2].address);
}

TEST_F(VelmarkTest, OutputsWithoutALoadedHeaderNameThemselvesInOne) {
  const std::string sample = SampleImage();
  WriteFileText(folder.Path("plain.srec"), sample.substr(sample.find('\n') + 1));
  const std::string nameHeader = Srec('0', 0, {'o', 'u', 't', '.', 's', 'r', 'e', 'c'});
  ASSERT_EQ(0, RunVelmark(folder, "-a0800C000 plain.srec out.srec").exitCode);
  EXPECT_EQ(0u, ReadFileText(folder.Path("out.srec")).find(nameHeader));
  ExpectPeerAgrees(folder.Path("out.srec"),
                   ReadTable(LoadImageFile(folder.Path("out.srec")), 0x0800C000, 3).entries);
  ASSERT_EQ(0, RunVelmark(folder, "-t -a0800C000 in.srec out.srec").exitCode);
  EXPECT_EQ(0u, ReadFileText(folder.Path("out.srec")).find(nameHeader));
  ExpectPeerAgrees(folder.Path("out.srec"), {});
}

TEST_F(VelmarkTest, OptionMatchingFollowsTheFirstMatchAndLastValue) {
  /* An -x whose start is not below its end is ignored; a later -a wins. */
  ASSERT_EQ(0, RunVelmark(folder, "-x08000FFF:08000000 -a1000 -a0800C000 in.srec a.srec").exitCode);
  ASSERT_EQ(0, RunVelmark(folder, "-a0800C000 in.srec b.srec").exitCode);
  EXPECT_EQ(ReadFileText(folder.Path("b.srec")), ReadFileText(folder.Path("a.srec")));
  /* "-a" anywhere in the argument: reading starts at its third character. */
  ASSERT_EQ(0, RunVelmark(folder, "x-a800C000 in.srec c.srec").exitCode);
  EXPECT_EQ(MAGIC, ReadTable(LoadImageFile(folder.Path("c.srec")), 0xA800C000, 3).magic);
  /* Unknown options and short -x are ignored without a message. */
  CommandResult result = RunVelmark(folder, "-q -x1:2 -a0800C000 in.srec d.srec");
  EXPECT_EQ(0, result.exitCode);
  EXPECT_EQ("", result.output);
}

TEST_F(VelmarkTest, CommandLineErrorsPrintBannerAndUsage) {
  const std::vector<std::string> commandLines = {
      "in.srec out.srec",                              /* too few arguments */
      "-t in.srec out.srec",                           /* no -a */
      "-t -t -t -a0800C000 in.srec out.srec",          /* too many arguments */
      "-a0800C000 ab out.srec",                        /* name of two characters */
      "-a0800C000 in.srec -out.srec",                  /* name beginning with '-' */
      "-aZZ in.srec out.srec",                         /* nothing readable */
      "-a0800C000 -aFFFFFFFF in.srec out.srec",        /* FFFFFFFF means not given */
      "-a123456789 in.srec out.srec",                  /* more than 32 bits */
      "-A0800C000 in.srec out.srec",                   /* matching is case-sensitive */
  };
  for (const std::string &arguments : commandLines) {
    CommandResult result = RunVelmark(folder, arguments);
    EXPECT_EQ(1, result.exitCode) << arguments;
    EXPECT_EQ(COMMAND_LINE_ERROR, result.output) << arguments;
    EXPECT_FALSE(FileExists(folder.Path("out.srec"))) << arguments;
  }
}

TEST_F(VelmarkTest, TableMayNotCoverTheBytesItChecksums) {
  const std::vector<std::string> commandLines = {
      "-a08000000 in.srec out.srec",  /* on the first segment */
      "-a080003F0 in.srec out.srec",  /* runs into the second segment */
      "-x08001000:0800101F -a08001000 in.srec out.srec", /* placeholder too small */
      "-aFFFFFFF0 in.srec out.srec",  /* runs past 0xFFFFFFFF */
      "-t -a08000080 in.srec out.srec",
  };
  for (const std::string &arguments : commandLines) {
    CommandResult result = RunVelmark(folder, arguments);
    EXPECT_EQ(6, result.exitCode) << arguments;
    EXPECT_EQ("[ERROR] Could not add the checksum info table data.\n", result.output) << arguments;
    EXPECT_FALSE(FileExists(folder.Path("out.srec"))) << arguments;
  }
  /* Right behind the last byte it describes is fine. */
  EXPECT_EQ(0, RunVelmark(folder, "-a08001200 in.srec out.srec").exitCode);
}

TEST_F(VelmarkTest, ExcludingTheWholeAddressSpaceIsRefused) {
  CommandResult result = RunVelmark(folder, "-x00000000:FFFFFFFF -a0800C000 in.srec out.srec");
  EXPECT_EQ(7, result.exitCode);
  EXPECT_EQ("[ERROR] Could not remove data that is to be excluded.\n", result.output);
  EXPECT_FALSE(FileExists(folder.Path("out.srec")));
}

TEST_F(VelmarkTest, SavingOverTheInputFileWorks) {
  ImageSegments input = LoadImageFile(folder.Path("in.srec"));
  ASSERT_EQ(0, RunVelmark(folder, "-a0800C000 in.srec in.srec").exitCode);
  ImageSegments output = LoadImageFile(folder.Path("in.srec"));
  EXPECT_EQ(ExpectedEntries(input), ReadTable(output, 0x0800C000, 3).entries);
}

TEST_F(VelmarkTest, CrlfInputAndSpacedPathsGiveTheSameLfOutputOverAnExistingFile) {
  ASSERT_EQ(0, RunVelmark(folder, "-a0800C000 in.srec reference.srec").exitCode);
  std::string crlf;
  for (char c : SampleImage()) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  ASSERT_TRUE(std::filesystem::create_directory(folder.Path("my folder")));
  WriteFileText(folder.Path("my folder/in put.srec"), crlf);
  WriteFileText(folder.Path("my folder/out put.srec"), std::string(100000, 'x'));
  /* Velmark.exe takes backslashes as Windows users type them. */
  const std::string separator = VelmarkRunsUnderWine() ? "\\" : "/";
  CommandResult result = RunVelmark(folder, "-a0800C000 'my folder" + separator + "in put.srec' 'my folder" +
                                                separator + "out put.srec'");
  EXPECT_EQ(0, result.exitCode);
  EXPECT_EQ("", result.output);
  const std::string output = ReadFileText(folder.Path("my folder/out put.srec"));
  EXPECT_EQ(std::string::npos, output.find('\r'));
  EXPECT_EQ(ReadFileText(folder.Path("reference.srec")), output);
  EXPECT_EQ((std::vector<std::string>{"in put.srec", "out put.srec"}), ListFolder(folder.Path("my folder")));
}

TEST_F(VelmarkTest, CountByteWrapsAbove255SegmentsWhileAllEntriesAreWritten) {
  std::string text;
  for (uint32_t index = 0; index < 300; ++index) {
    text += Srec('2', 0x10000 + index * 0x10, Ramp(4, static_cast<uint8_t>(index)));
  }
  WriteFileText(folder.Path("many.srec"), text);
  ASSERT_EQ(0, RunVelmark(folder, "-a00200000 many.srec out.srec").exitCode);
  ImageSegments output = LoadImageFile(folder.Path("out.srec"));
  ChecksumTable table = ReadTable(output, 0x00200000, 300);
  EXPECT_EQ(300 % 256, table.countByte);
  EXPECT_EQ(0u, table.reserved);
  EXPECT_EQ(ExpectedEntries(LoadImageFile(folder.Path("many.srec"))), table.entries);
  const std::string saved = ReadFileText(folder.Path("out.srec"));
  EXPECT_EQ(saved.find('\n') + 1, saved.find("S2"));  /* S2 from the first data record on */
}

TEST_F(VelmarkTest, EmptyImageGetsATenByteTable) {
  WriteFileText(folder.Path("empty.srec"), Srec('0', 0, {'x'}) + Srec('9', 0));
  ASSERT_EQ(0, RunVelmark(folder, "-a1000 empty.srec out.srec").exitCode);
  ImageSegments output = LoadImageFile(folder.Path("out.srec"));
  ASSERT_EQ(1u, output.size());
  EXPECT_EQ((Bytes{0x37, 0x55, 0xAA, 0x23, 0, 0, 0, 0, 0xFF, 0xFF}), output[0].second);
}

/* The banner's example works as printed on the shipped sample of that name; a placeholder needs -x. */
TEST(VelmarkExamples, TheBannersExampleWorksOnTheShippedSample) {
  const struct {
    std::string sample;
    std::string options;
    int exitCode;
  } cases[] = {
      {"demoprog.srec", "-a0800C000", 0},
      {"demoprog_placeholder.srec", "-a0800C000", 6},
      {"demoprog_placeholder.srec", "-a0800C000 -x0800C000:0800C0FF", 0},
  };
  for (const auto &example : cases) {
    ScratchFolder folder;
    WriteFileBytes(folder.Path(example.sample),
                   ReadFileBytes(std::string(VELMARK_EXAMPLES) + "/" + example.sample));
    CommandResult result =
        RunVelmark(folder, example.options + " " + example.sample + " demoprog_checksum.srec");
    EXPECT_EQ(example.exitCode, result.exitCode) << example.sample << " " << example.options;
    EXPECT_EQ(example.exitCode == 0, FileExists(folder.Path("demoprog_checksum.srec")))
        << example.sample << " " << example.options;
  }
}

/* Each line of must-fail/expectations.tsv: file, options, exit code, message. */
TEST(VelmarkMustFail, EveryInputGivesItsExitCodeAndMessage) {
  const std::string dataFolder = std::string(VELMARK_TEST_DATA) + "/must-fail";
  std::ifstream table(dataFolder + "/expectations.tsv");
  ASSERT_TRUE(table.good());
  std::string line;
  int cases = 0;
  while (std::getline(table, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string file, options, exitCode, message;
    std::getline(fields, file, '\t');
    std::getline(fields, options, '\t');
    std::getline(fields, exitCode, '\t');
    std::getline(fields, message);
    ScratchFolder folder;
    /* Named as in the table, though only a file's first record tells its format. */
    const std::string input = "input" + file.substr(file.rfind('.'));
    WriteFileBytes(folder.Path(input), ReadFileBytes(dataFolder + "/" + file));
    CommandResult result = RunVelmark(folder, options + " " + input + " out.srec");
    EXPECT_EQ(std::stoi(exitCode), result.exitCode) << file;
    EXPECT_EQ(message + "\n", result.output) << file;
    EXPECT_FALSE(FileExists(folder.Path("out.srec"))) << file;
    ++cases;
  }
  EXPECT_GE(cases, 10);
}

}  // namespace
