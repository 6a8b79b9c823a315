/*
 * End-to-end tests of Velmark on Intel HEX: the output follows the input's
 * format, and peers (objcopy, srec_cat, Python's intelhex) read it as the
 * same image that the S-record run gives.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "ihex_text.h"
#include "srec_text.h"
#include "table_reader.h"
#include "test_support.h"
#include "velmark_runner.h"

namespace {

/* The plain layout: upper-case records, LF ends, 16 data bytes at most within a 64 KiB window,
   an 04 only where the upper address half changes, no 02, a start record at most, 01 last. */
void ExpectPlainIntelHexLayout(const std::string &text, const std::string &startRecord) {
  std::istringstream lines(text);
  std::vector<std::string> records;
  for (std::string line; std::getline(lines, line);) records.push_back(line + "\n");
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(IHEX_END, records.back());
  const size_t dataEnd = records.size() - (startRecord.empty() ? 1 : 2);
  if (!startRecord.empty()) {
    EXPECT_EQ(startRecord, records[dataEnd]);
  }
  unsigned upper = 0;
  for (size_t index = 0; index < dataEnd; ++index) {
    const std::string &record = records[index];
    ASSERT_EQ(record.size() - 1, record.find_first_not_of("0123456789ABCDEF", 1)) << record;
    unsigned count = 0, offset = 0, type = 0;
    ASSERT_EQ(3, std::sscanf(record.c_str(), ":%2x%4x%2x", &count, &offset, &type)) << record;
    if (type == 4) {
      unsigned value = 0;
      std::sscanf(record.c_str() + 9, "%4x", &value);
      EXPECT_NE(upper, value) << record;
      upper = value;
    } else {
      EXPECT_EQ(0u, type) << record;
      EXPECT_LE(count, 16u) << record;
      EXPECT_LE(offset + count, 0x10000u) << record;
    }
  }
}

CommandResult RunPeer(const std::string &command) {
  CommandResult result = RunCommand(command + " 2>&1");
  EXPECT_EQ(0, result.exitCode) << command << ": " << result.output;
  return result;
}

/* srec_cat's CRC over one segment of an Intel HEX file, as its two bytes. */
uint16_t PeerCrc(const std::string &file, const TableEntry &entry) {
  const uint32_t end = entry.address + entry.length;
  std::ostringstream command;
  command << "srec_cat " << ShellQuote(file) << " -Intel -crop " << entry.address << " " << end
          << " -crc16-l-e " << end << " -broken -crop " << end << " " << end + 2 << " -offset -" << end
          << " -o - -binary";
  const std::string bytes = RunPeer(command.str()).output;
  EXPECT_EQ(2u, bytes.size()) << command.str();
  return bytes.size() == 2 ? static_cast<uint16_t>(static_cast<uint8_t>(bytes[0]) |
                                                   static_cast<uint8_t>(bytes[1]) << 8)
                           : 0;
}

/* What Python's intelhex reads: the start address, then one "address hex-bytes" line per segment. */
std::string PythonView(const std::string &file) {
  return RunPeer("/usr/bin/python3 -c 'import sys, intelhex\n"
             "h = intelhex.IntelHex(sys.argv[1])\n"
             "print(h.start_addr)\n"
             "for s, e in h.segments(): print(\"%08X %s\" % (s, h.tobinstr(s, e - 1).hex()))' " +
             ShellQuote(file))
      .output;
}

std::string SegmentsView(const ImageSegments &image) {
  std::string view;
  char address[10];
  for (const auto &[start, bytes] : image) {
    std::snprintf(address, sizeof address, "%08X ", static_cast<unsigned>(start));
    view += address;
    for (uint8_t byte : bytes) {
      std::snprintf(address, sizeof address, "%02x", byte);
      view += address;
    }
    view += "\n";
  }
  return view;
}

/* objcopy's S-records of a file, without the S0 that names it. */
std::string ObjcopySrecords(const std::string &file, const char *format) {
  std::string text = RunPeer(std::string("objcopy -I ") + format + " -O srec --srec-forceS3 " +
                         ShellQuote(file) + " /dev/stdout")
                         .output;
  return text.substr(text.find('\n') + 1);
}

class VelmarkIhexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *peer : {"objcopy", "srec_cat"}) {
      if (!HasProgram(peer)) GTEST_FAIL() << peer << " is not installed (scripts/setup.sh test)";
    }
    WriteFileText(folder.Path("in.srec"), SampleImage());
    RunPeer("objcopy -I srec -O ihex " + ShellQuote(folder.Path("in.srec")) + " " +
        ShellQuote(folder.Path("in.hex")));
  }
  ScratchFolder folder;
};

TEST_F(VelmarkIhexTest, IntelHexInGivesIntelHexOutHoldingWhatTheSrecordRunHolds) {
  ASSERT_EQ(0, RunVelmark(folder, "-a0800C000 in.srec out.srec").exitCode);
  const CommandResult result = RunVelmark(folder, "-a0800C000 in.hex out.hex");
  EXPECT_EQ(0, result.exitCode);
  EXPECT_EQ("", result.output);
  const std::string hex = folder.Path("out.hex");
  ExpectPlainIntelHexLayout(ReadFileText(hex), IhexValue(5, 0x0800, 0x0000));
  EXPECT_EQ(ObjcopySrecords(folder.Path("out.srec"), "srec"), ObjcopySrecords(hex, "ihex"));

  EXPECT_EQ("", RunPeer("srec_cat " + ShellQuote(hex) + " -Intel -o /dev/null").output);
  const ImageSegments image = LoadImageFile(hex);
  EXPECT_EQ(image, LoadImageFile(folder.Path("out.srec")));
  for (const TableEntry &entry : ReadTable(image, 0x0800C000, 3).entries) {
    EXPECT_EQ(entry.crc, PeerCrc(hex, entry)) << entry.address;
  }
  EXPECT_EQ("{'EIP': 134217728}\n" + SegmentsView(image), PythonView(hex));
}

TEST_F(VelmarkIhexTest, TableOnlyAndExcludedRangeRunsStayIntelHex) {
  const std::vector<std::string> options = {"-t -a0800C000", "-x08001000:080010FF -a08001000",
                                            "-t -x08001000:080010FF -a0800C000"};
  for (const std::string &option : options) {
    ASSERT_EQ(0, RunVelmark(folder, option + " in.srec out.srec").exitCode) << option;
    ASSERT_EQ(0, RunVelmark(folder, option + " in.hex out.hex").exitCode) << option;
    /* -t drops the data and with them the start address: no start record is written. */
    ExpectPlainIntelHexLayout(ReadFileText(folder.Path("out.hex")),
                              option[1] == 't' ? "" : IhexValue(5, 0x0800, 0x0000));
    EXPECT_EQ(LoadImageFile(folder.Path("out.srec")), LoadImageFile(folder.Path("out.hex"))) << option;
    EXPECT_EQ("", RunPeer("srec_cat " + ShellQuote(folder.Path("out.hex")) + " -Intel -o /dev/null").output);
  }
}

TEST_F(VelmarkIhexTest, SegmentedAddressesAndAStartAsCsIpSurvive) {
  /* An 8086-style file: 02 records, data out of order, the start as CS:IP, CRLF ends. */
  std::string text = IhexValue(2, 0xF000) + Ihex(0, 0x0010, {0x21, 0x22}) + IhexValue(2, 0x1000) +
                     Ihex(0, 0x0000, Ramp(16)) + IhexValue(3, 0xF000, 0xFFF0) + IHEX_END;
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  WriteFileText(folder.Path("real.hex"), crlf);
  ASSERT_EQ(0, RunVelmark(folder, "-a00020000 real.hex out.hex").exitCode);
  const std::string hex = folder.Path("out.hex");
  ExpectPlainIntelHexLayout(ReadFileText(hex), IhexValue(3, 0xF000, 0xFFF0));
  EXPECT_EQ("", RunPeer("srec_cat " + ShellQuote(hex) + " -Intel -o /dev/null").output);
  const ImageSegments image = LoadImageFile(hex);
  ASSERT_EQ(3u, image.size());
  EXPECT_EQ(0x10000u, image[0].first);
  EXPECT_EQ(0xF0010u, image[2].first);
  EXPECT_EQ("{'CS': 61440, 'IP': 65520}\n" + SegmentsView(image), PythonView(hex));
  EXPECT_NE(std::string::npos, RunPeer("objdump -f " + ShellQuote(hex)).output.find("0x000ffff0"));
}

TEST_F(VelmarkIhexTest, SrecCatsIntelHexLoadsAsTheSrecordsItCameFrom) {
  /* Data off srec_cat's 32-byte grid: it writes records that run across a 64 KiB boundary. */
  RunPeer("srec_cat " + ShellQuote(folder.Path("in.srec")) + " -offset 0xFFE8 -o " +
          ShellQuote(folder.Path("moved.srec")));
  RunPeer("srec_cat " + ShellQuote(folder.Path("moved.srec")) + " -o " + ShellQuote(folder.Path("moved.hex")) +
          " -Intel");
  ASSERT_NE(std::string::npos, ReadFileText(folder.Path("moved.hex")).find(":20FFE800")) << "no record across";
  ASSERT_EQ(0, RunVelmark(folder, "-a0800C000 moved.srec out.srec").exitCode);
  const CommandResult result = RunVelmark(folder, "-a0800C000 moved.hex out.hex");
  ASSERT_EQ(0, result.exitCode) << result.output;
  const ImageSegments image = LoadImageFile(folder.Path("out.hex"));
  EXPECT_EQ(LoadImageFile(folder.Path("out.srec")), image);
  EXPECT_EQ("{'EIP': 134283240}\n" + SegmentsView(image), PythonView(folder.Path("out.hex")));
}

}  // namespace
