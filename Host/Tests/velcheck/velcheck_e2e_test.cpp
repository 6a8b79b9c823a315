/*
 * End-to-end tests: run the built Velcheck over Velmark's images, whole and
 * damaged, and check its exact output and exit code.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "image_cases.h"
#include "table_reader.h"
#include "velmark_runner.h"
#include "srec_text.h"
#include "test_support.h"

namespace {

/* VELCHECK_COMMAND, when set, replaces the built program ("valgrind -q ...", "wine ...exe"). */
CommandResult RunVelcheck(const ScratchFolder &folder, const std::string &arguments) {
  return RunTool("VELCHECK_COMMAND", VELCHECK_PATH, folder.root, arguments);
}

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::string Hex8(uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

class VelcheckTest : public ::testing::Test {
 protected:
  void SetUp() override { cases = MakeImageCases(folder); }

  /* A bootloader with its table at 0x08003F00 and an application with its own at 0x0800FF00, joined. */
  ImageSegments MarkBootAndApp() {
    WriteImageFile(folder.Path("boot-in.srec"), {{0x08000000, Ramp(0x100)}, {0x08000400, Ramp(0x30, 7)}});
    WriteImageFile(folder.Path("app-in.srec"), {{0x08004000, Ramp(0x200, 3)}});
    EXPECT_EQ(0, RunVelmark(folder, "-a08003F00 boot-in.srec boot.srec").exitCode);
    EXPECT_EQ(0, RunVelmark(folder, "-a0800FF00 app-in.srec app.srec").exitCode);
    WriteFileText(folder.Path("both.srec"), ReadFileText(folder.Path("boot.srec")) + ReadFileText(folder.Path("app.srec")));
    return LoadImageFile(folder.Path("both.srec"));
  }
  ScratchFolder folder;
  std::vector<ImageCase> cases;
};

/*
 * Exit 0 when every segment matches, 1 when an entry fails, 2 when no valid
 * table is there or the search reports another header.
 */
TEST_F(VelcheckTest, EveryImageGivesTheExitCodeOfItsCheckWithTheTableFoundOrGiven) {
  for (const ImageCase &imageCase : cases) {
    SCOPED_TRACE(imageCase.file);
    const bool headerHolds = imageCase.entryCount > 0;
    const int exitCode = imageCase.status == CIT_STATUS_VALID ? 0 : headerHolds ? 1 : 2;
    const CommandResult found = RunVelcheck(folder, imageCase.file);
    const CommandResult given = RunVelcheck(folder, "-a" + Hex8(imageCase.tableAddress) + " " + imageCase.file);
    EXPECT_EQ(imageCase.strayReport.empty() ? exitCode : 2, found.exitCode);
    EXPECT_EQ(exitCode, given.exitCode);
    if (!headerHolds) continue;
    EXPECT_EQ(imageCase.strayReport + given.output, found.output);
    const std::vector<std::string> lines = SplitLines(given.output);
    ASSERT_EQ(imageCase.entryCount + 3, lines.size());
    EXPECT_EQ("Checksum info table at 0x" + Hex8(imageCase.tableAddress) + ", entry count " +
                  std::to_string(imageCase.entryCount),
              lines[0]);
    for (uint32_t index = 0; index < imageCase.entryCount; ++index) {
      const bool fails = exitCode == 1 && index == imageCase.failedIndex;
      EXPECT_EQ(!fails, lines[2 + index].substr(lines[2 + index].size() - 4) == "  ok") << lines[2 + index];
    }
    const std::string count = std::to_string(imageCase.entryCount);
    EXPECT_EQ(exitCode == 0 ? "OK: " + count + " of " + count + " segments match the image"
                            : "FAILED: 1 of " + count + " segments do not match the image",
              lines.back());
  }
}

TEST_F(VelcheckTest, PrintsEveryEntryWithItsResult) {
  const std::string head =
      "Checksum info table at 0x0800C000, entry count 3\n"
      "Entry  Address     Length      CRC     Result\n";
  EXPECT_EQ(head +
                "    0  0x08000000  0x00000100  0x3FBD  ok\n"
                "    1  0x08000400  0x00000030  0x5D6E  ok\n"
                "    2  0x08001000  0x00000200  0x99B4  ok\n"
                "OK: 3 of 3 segments match the image\n",
            RunVelcheck(folder, "plain.srec").output);
  EXPECT_EQ(head +
                "    0  0x08000000  0x00000100  0x3FBD  ok\n"
                "    1  0x08000400  0x00000030  0x5D6E  MISMATCH (image gives 0xCCE6)\n"
                "    2  0x08001000  0x00000200  0x99B4  ok\n"
                "FAILED: 1 of 3 segments do not match the image\n",
            RunVelcheck(folder, "changed-1.srec").output);
  EXPECT_EQ(head +
                "    0  0x08000000  0x00000100  0x3FBD  ok\n"
                "    1  0x08000400  0x00000030  0x5D6E  MISSING BYTES\n"
                "    2  0x08001000  0x00000200  0x99B4  ok\n"
                "FAILED: 1 of 3 segments do not match the image\n",
            RunVelcheck(folder, "missing.srec").output);
}

TEST_F(VelcheckTest, EverythingElseIsOneLineAndExit2) {
  WriteFileText(folder.Path("bad.srec"), "S1FF\n");
  const ImageSegments plain = LoadImageFile(folder.Path("plain.srec"));
  ImageSegments cut = plain;
  ImageSegments emptyEntry = plain;
  cut[3].second.resize(4);                              /* the table's magic is all that is left of it */
  std::fill_n(emptyEntry[3].second.begin() + 24, 4, 0); /* entry 1's length */
  WriteImageFile(folder.Path("cut.srec"), cut);
  WriteImageFile(folder.Path("empty-entry.srec"), emptyEntry);
  const std::string usage = "[ERROR] Usage: Velcheck [-a<hex>] [-b<hex>] <image file>";
  const std::string notFound = "[ERROR] No checksum info table found in the image.";
  const std::vector<std::pair<std::string, std::string>> runs = {
      {"", usage},
      {"-a0800C000", usage},
      {"-a plain.srec", usage},
      {"-aZZ plain.srec", usage},
      {"-a123456789 plain.srec", usage},
      {"-c0800C000 plain.srec", usage},
      {"-b08000000 -b08000000 plain.srec", usage},
      {"-bZZ plain.srec", usage},
      {"-b plain.srec", usage},
      {"-a0800C000 -b08000000 -a0800C000 plain.srec", usage},
      {"plain.srec -a0800C000", usage},
      {"-a0800C000 plain.srec plain.srec", usage},
      {"--help plain.srec", usage},
      {"absent.srec", "[ERROR] Could not load the image file: the file cannot be opened or read."},
      {"bad.srec", "[ERROR] Could not load the image file: a line is not a well-formed record."},
      {"in.srec", notFound},
      {"magic.srec", "[ERROR] Checksum info table at 0x0800C000: the magic is wrong."},
      {"list-crc.srec", "[ERROR] Checksum info table at 0x0800C000: the list CRC does not match the entries."},
      {"cut.srec", "[ERROR] Checksum info table at 0x0800C000: the image holds no whole 10-byte header there."},
      {"-a0800C000 empty-entry.srec", "[ERROR] No checksum info table at 0x0800C000: entry 1 names no bytes."},
      {"-a07000001 decoy.srec", "[ERROR] No checksum info table at 0x07000001: the table names no segment."},
      {"-a0800C000 in.srec", "[ERROR] No checksum info table at 0x0800C000: the image holds no whole 10-byte header there."},
      {"-a0x0800c000 magic.srec", "[ERROR] No checksum info table at 0x0800C000: the magic is wrong."},
      {"-a0800C000 list-crc.srec", "[ERROR] No checksum info table at 0x0800C000: the list CRC does not match the entries."},
      {"-a0800C001 plain.srec", "[ERROR] No checksum info table at 0x0800C001: the magic is wrong."},
      {"-a0800C020 plain.srec", "[ERROR] No checksum info table at 0x0800C020: the image holds no whole 10-byte header there."},
  };
  for (const auto &[arguments, message] : runs) {
    const CommandResult result = RunVelcheck(folder, arguments);
    EXPECT_EQ(2, result.exitCode) << arguments;
    EXPECT_EQ(message + "\n", result.output) << arguments;
  }
}

TEST_F(VelcheckTest, HelpAndVersionAloneGoToStdoutAndExit0) {
  const std::vector<std::pair<std::string, std::string>> runs = {
      {"--help", "Usage: Velcheck [-a<hex>] [-b<hex>] <image file>\n"},
      {"--version", "Velcheck " VELMARK_VERSION "\n"},
  };
  for (const auto &[arguments, firstLine] : runs) {
    const CommandResult result = RunVelcheck(folder, arguments);
    EXPECT_EQ(0, result.exitCode) << arguments;
    EXPECT_EQ(firstLine, result.output.substr(0, firstLine.size())) << arguments;
  }
}

/*
 * Inputs whose table another count could read, and tables that outgrow their
 * placeholder: Velmark refuses them before it writes anything.
 */
TEST_F(VelcheckTest, VelmarkRefusesATableTheCheckerCouldReadOtherwise) {
  ImageSegments placeholder30;
  for (uint32_t index = 0; index < 30; ++index) placeholder30.push_back({0x08000000 + 0x100 * index, Ramp(4, 1)});
  placeholder30.push_back({0x0800C000, std::vector<uint8_t>(0x100, 0xFF)});
  ImageSegments placeholder24(placeholder30.begin() + 6, placeholder30.end());
  struct Case {
    const char *name;
    ImageSegments input;
    const char *options;
    int exitCode;
  };
  const std::vector<Case> cases = {
      {"2,214 segments, also read as 1,190", MakeSpreadByteImage(), "-a20000000", 6},
      {"256 segments, also read as none", MakeEmptyListCrcImage(), "-a20000000", 6},
      {"30 segments, 310 bytes in a 0x100 placeholder", placeholder30, "-a0800C000 -x0800C000:0800C0FF", 6},
      {"the table runs past the -x range it starts in", placeholder30, "-a0800C000 -x0800BF00:0800C0FF", 6},
      {"the search reads 256 more entries after the table", MakeTrailingEntriesImage(true),
       "-a08000F00 -x08000F14:08001913", 6},
      {"-a reads 256 more entries after the table", MakeTrailingEntriesImage(false),
       "-a08000F00 -x08000F14:08001913", 6},
      {"24 segments, 250 bytes in a 0x100 placeholder", placeholder24, "-a0800C000 -x0800C000:0800C0FF", 0},
      {"-t: the 4 KiB placeholder is not in the image", placeholder24, "-t -a0800C000 -x0800C000:0800CFFF", 0},
  };
  for (const Case &test : cases) {
    SCOPED_TRACE(test.name);
    WriteImageFile(folder.Path("room-in.srec"), test.input);
    const CommandResult result = RunVelmark(folder, std::string(test.options) + " room-in.srec room-out.srec");
    EXPECT_EQ(test.exitCode, result.exitCode);
    EXPECT_EQ(test.exitCode == 0 ? "" : "[ERROR] Could not add the checksum info table data.\n", result.output);
    EXPECT_EQ(test.exitCode == 0, FileExists(folder.Path("room-out.srec")));
    std::remove(folder.Path("room-out.srec").c_str());
  }
}

/* The tables such a Velmark would have written: found or given, no OK for either. */
TEST_F(VelcheckTest, ATableThatAnotherCountAlsoReadsIsNeverOk) {
  for (ImageSegments image : {MakeSpreadByteImage(), MakeEmptyListCrcImage()}) {
    image.push_back({0x20000000, BuildTableOver(image)});
    WriteImageFile(folder.Path("ambiguous.srec"), image);
    SCOPED_TRACE(image.size());
    const CommandResult found = RunVelcheck(folder, "ambiguous.srec");
    EXPECT_EQ(2, found.exitCode);
    EXPECT_EQ("[ERROR] Checksum info table at 0x20000000: more than one entry count gives the list CRC.\n",
              found.output);
    const CommandResult given = RunVelcheck(folder, "-a20000000 ambiguous.srec");
    EXPECT_EQ(2, given.exitCode);
    EXPECT_EQ("[ERROR] No checksum info table at 0x20000000: more than one entry count gives the list CRC.\n",
              given.output);
  }
}

/* A bootloader and an application, each with its own table: both are checked and printed. */
TEST_F(VelcheckTest, ChecksEveryTableInTheImage) {
  const ImageSegments both = MarkBootAndApp();
  for (const auto &[file, changed] : {std::make_pair("boot-changed.srec", 0), std::make_pair("app-changed.srec", 3)}) {
    ImageSegments image = both;
    image[changed].second[5] ^= 0x10;
    WriteImageFile(folder.Path(file), image);
  }
  const std::string bootOk = "OK: 2 of 2 segments match the image";
  const std::string bootFailed = "FAILED: 1 of 2 segments do not match the image";
  const std::string appOk = "OK: 1 of 1 segments match the image";
  const std::string appFailed = "FAILED: 1 of 1 segments do not match the image";
  struct Case {
    const char *file;
    int exitCode;
    std::string bootLast;
    std::string appLast;
  };
  const std::vector<Case> cases = {
      {"both.srec", 0, bootOk, appOk},
      {"boot-changed.srec", 1, bootFailed, appOk},
      {"app-changed.srec", 1, bootOk, appFailed},
  };
  for (const Case &test : cases) {
    const CommandResult result = RunVelcheck(folder, test.file);
    EXPECT_EQ(test.exitCode, result.exitCode) << test.file;
    const std::vector<std::string> lines = SplitLines(result.output);
    ASSERT_EQ(10u, lines.size()) << result.output;
    EXPECT_EQ("Checksum info table at 0x08003F00, entry count 2", lines[0]) << test.file;
    EXPECT_EQ(test.bootLast, lines[4]) << test.file;
    EXPECT_EQ("", lines[5]) << test.file;
    EXPECT_EQ("Checksum info table at 0x0800FF00, entry count 1", lines[6]) << test.file;
    EXPECT_EQ(test.appLast, lines[9]) << test.file;
  }
}

/*
 * A damaged table beside a whole one is reported with its address and what
 * is wrong, never passed over: in S-records, Intel HEX and read-backs alike.
 */
TEST_F(VelcheckTest, ADamagedTableBesideAWholeOneIsReportedInEveryFormat) {
  if (!HasProgram("objcopy")) {
    GTEST_FAIL() << "objcopy is not installed (Debian package binutils)";
  }
  const ImageSegments both = MarkBootAndApp();
  const std::string appTable = RunVelcheck(folder, "-a0800FF00 both.srec").output;
  struct Case {
    const char *damage;
    size_t offset; /* in the bootloader's table */
    const char *reason;
    const char *readBackReason; /* where erased flash follows the table */
  };
  const std::vector<Case> cases = {
      {"count byte", 4, "the image does not hold the whole table", "entry 2 is erased (all 0xFF)"},
      {"list CRC", 8, "the list CRC does not match the entries", nullptr},
      {"entry 1", 21, "entry 1 starts below the end of the entry before", nullptr},
  };
  for (const Case &test : cases) {
    SCOPED_TRACE(test.damage);
    ImageSegments image = both;
    image[2].second[test.offset] ^= 0x04;
    WriteImageFile(folder.Path("damaged.srec"), image);
    ASSERT_EQ(0, RunCommand("cd " + ShellQuote(folder.root) +
                            " && objcopy -I srec -O ihex damaged.srec damaged.hex"
                            " && objcopy -I srec -O binary --gap-fill 0xFF damaged.srec damaged.bin")
                     .exitCode);
    for (const auto &[arguments, reason] :
         {std::make_pair("damaged.srec", test.reason), std::make_pair("damaged.hex", test.reason),
          std::make_pair("-b08000000 damaged.bin", test.readBackReason ? test.readBackReason : test.reason)}) {
      const CommandResult result = RunVelcheck(folder, arguments);
      EXPECT_EQ(2, result.exitCode) << arguments;
      EXPECT_EQ("[ERROR] Checksum info table at 0x08003F00: " + std::string(reason) + ".\n\n" + appTable,
                result.output)
          << arguments;
    }
  }
}

/* The same image as Intel HEX and as a raw read-back (objcopy's conversions) checks the same. */
TEST_F(VelcheckTest, IntelHexAndRawReadBacksCheckLikeTheirSrecords) {
  if (!HasProgram("objcopy")) {
    GTEST_FAIL() << "objcopy is not installed (Debian package binutils)";
  }
  for (const std::string name : {"plain", "changed-1"}) {
    const std::string srec = folder.Path(name + ".srec");
    ASSERT_EQ(0, RunCommand("objcopy -I srec -O ihex " + ShellQuote(srec) + " " +
                            ShellQuote(folder.Path(name + ".hex")) + " && objcopy -I srec -O binary " +
                            ShellQuote(srec) + " " + ShellQuote(folder.Path(name + ".bin")))
                     .exitCode);
    const CommandResult expected = RunVelcheck(folder, name + ".srec");
    for (const std::string &arguments : {name + ".hex", "-b08000000 " + name + ".bin",
                                        "-b08000000 -a0800C000 " + name + ".bin"}) {
      const CommandResult result = RunVelcheck(folder, arguments);
      EXPECT_EQ(expected.exitCode, result.exitCode) << arguments;
      EXPECT_EQ(expected.output, result.output) << arguments;
    }
  }
  /* A read-back placed elsewhere holds no table where the table says its segments are. */
  const CommandResult moved = RunVelcheck(folder, "-b09000000 plain.bin");
  EXPECT_EQ(1, moved.exitCode);
}

}  // namespace
