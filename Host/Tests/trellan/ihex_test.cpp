#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "ihex_text.h"
#include "image_fixture.h"
#include "srec_text.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct LoadCase {
  const char *name;
  std::string text;
  SegmentSnapshot segments;
  bool hasStart;
  uint32_t start;
};

TEST_F(ImageTest, IntelHexLoadsEveryAddressingAndStartRecord) {
  const std::vector<LoadCase> cases = {
      {"no extended address", Ihex(0, 0x0100, Ramp(4)) + IHEX_END, {{0x100, Ramp(4)}}, false, 0},
      {"04 sets the upper half", IhexValue(4, 0x0800) + Ihex(0, 0x0010, Ramp(2)) + IHEX_END,
       {{0x08000010, Ramp(2)}}, false, 0},
      {"02 adds sixteen times its value", IhexValue(2, 0x1000) + Ihex(0, 0x000E, {0x3F, 0x30}),
       {{0x1000E, {0x3F, 0x30}}}, false, 0},
      {"the later of 02 and 04 counts",
       IhexValue(2, 0x1000) + IhexValue(4, 0x0002) + Ihex(0, 0, {1}) + IhexValue(2, 0x0001) +
           Ihex(0, 0, {2}),
       {{0x10, {2}}, {0x20000, {1}}}, false, 0},
      {"code and option bytes far apart",
       IhexValue(4, 0) + Ihex(0, 0, Ramp(16)) + IhexValue(4, 0x1000) + Ihex(0, 0x1014, {0xFE}) +
           IhexValue(5, 0, 0x0101) + IHEX_END,
       {{0, Ramp(16)}, {0x10001014, {0xFE}}}, true, 0x101},
      {"03 start is CS * 16 + IP", Ihex(0, 0, {1}) + IhexValue(3, 0x1234, 0x0010) + IHEX_END,
       {{0, {1}}}, true, 0x12350},
      {"the first start counts", Ihex(0, 0, {1}) + IhexValue(5, 0x0800, 1) + IhexValue(3, 1, 1),
       {{0, {1}}}, true, 0x08000001},
      {"01 ends a file: the next starts afresh",
       IhexValue(4, 0x0800) + Ihex(0, 0, {1}) + IHEX_END + Ihex(0, 0, {2}) + IHEX_END,
       {{0, {2}}, {0x08000000, {1}}}, false, 0},
      {"under 04 a record runs on into the next window", IhexValue(4, 0x0800) + Ihex(0, 0xFFF8, Ramp(16)),
       {{0x0800FFF8, Ramp(16)}}, false, 0},
      {"top of the address space", IhexValue(4, 0xFFFF) + Ihex(0, 0xFFF0, Ramp(16)),
       {{0xFFFFFFF0, Ramp(16)}}, false, 0},
      {"04s ended by CRLF and by a lone CR, each before a record",
       ":020000040800F2\r\n" + Ihex(0, 0, {1}) + ":020000040900F1\r" + Ihex(0, 0, {2}) + IHEX_END,
       {{0x08000000, {1}}, {0x09000000, {2}}}, false, 0},
      {"CRLF, lower case, blank lines, spaces, DOS end",
       "\r\n" + std::string(":0200000400FFFB \t\r\n\n:02000000AbCd86\r\n") + ":00000001FF\r\n\x1A",
       {{0xFF0000, {0xAB, 0xCD}}}, false, 0},
  };
  for (const LoadCase &input : cases) {
    ASSERT_EQ(TRL_OK, TrlFirmwareInit(TRL_FILE_FORMAT_SREC));
    ASSERT_EQ(TRL_OK, Load(input.text)) << input.name;
    EXPECT_EQ(input.segments, Segments()) << input.name;
    uint32_t start = 0;
    EXPECT_EQ(input.hasStart ? 1u : 0u, TrlFirmwareGetStartAddress(&start)) << input.name;
    EXPECT_EQ(input.start, start) << input.name;
    EXPECT_EQ(TRL_FILE_FORMAT_IHEX, TrlFirmwareGetFileFormat()) << input.name;
  }
}

struct FailingCase {
  const char *name;
  std::string text;
  uint32_t status;
};

TEST_F(ImageTest, BadIntelHexFailsWithItsStatusAndChangesNothing) {
  const std::string data = Ihex(0, 0x200, Ramp(4));
  std::string badChecksum = data;
  badChecksum[badChecksum.size() - 2] = badChecksum[badChecksum.size() - 2] == '0' ? '1' : '0';
  std::string countOverstated = data;
  countOverstated.replace(1, 2, "05");
  std::string countUnderstated = data;
  countUnderstated.replace(1, 2, "03");
  const std::vector<FailingCase> cases = {
      {"checksum", badChecksum, TRL_ERR_CHECKSUM},
      {"count overstated", countOverstated, TRL_ERR_SYNTAX},
      {"count understated", countUnderstated, TRL_ERR_SYNTAX},
      {"too short", ":000000\n", TRL_ERR_SYNTAX},
      {"odd length", data.substr(0, data.size() - 2) + "\n", TRL_ERR_SYNTAX},
      {"non-hex digit", ":0100000G00FF\n", TRL_ERR_SYNTAX},
      {"unknown type", Ihex(6, 0, {1}), TRL_ERR_RECORD_TYPE},
      {"end of file with data", Ihex(1, 0, {1}), TRL_ERR_SYNTAX},
      {"04 of one byte", Ihex(4, 0, {1}), TRL_ERR_SYNTAX},
      {"04 with a non-hex digit", ":020000040G0006\n" + data, TRL_ERR_SYNTAX},
      {"04 with a bad checksum", ":02000004080FE4\n" + data, TRL_ERR_CHECKSUM},
      {"02 of three bytes", Ihex(2, 0, {0, 1, 2}), TRL_ERR_SYNTAX},
      {"05 of two bytes", Ihex(5, 0, {0, 1}), TRL_ERR_SYNTAX},
      {"03 of five bytes", Ihex(3, 0, Ramp(5)), TRL_ERR_SYNTAX},
      {"past its 64 KiB window with no 02 or 04", Ihex(0, 0xFFF8, Ramp(9)), TRL_ERR_WINDOW},
      {"past its window under 02", IhexValue(2, 0x1000) + Ihex(0, 0xFFFF, Ramp(2)), TRL_ERR_WINDOW},
      {"S-record after Intel HEX", data + Srec('1', 0x300, {1}), TRL_ERR_MIXED_FORMATS},
      {"Intel HEX after S-record", Srec('1', 0x300, {1}) + data, TRL_ERR_MIXED_FORMATS},
      {"DOS end-of-file byte before the end", data + "\x1A\n" + data, TRL_ERR_SYNTAX},
      {"DOS end-of-file byte before an 04", data + "\x1A\n" + IhexValue(4, 0x0800) + "\n", TRL_ERR_SYNTAX},
      {"two values for one address", data + Ihex(0, 0x202, {9}), TRL_ERR_CONFLICT},
      {"two records out of order disagree",
       Ihex(0, 0x300, {1}) + Ihex(0, 0x280, {1, 2}) + Ihex(0, 0x281, {2}) + Ihex(0, 0x281, {3}),
       TRL_ERR_CONFLICT},
      {"contradicts held data", Ihex(0, 0x103, {0xEE}), TRL_ERR_CONFLICT},
  };
  ASSERT_EQ(TRL_OK, Load(Srec('0', 0, {'x'}) + Srec('1', 0x100, Ramp(4)) + Srec('9', 0x100)));
  const SegmentSnapshot before = Segments();
  const std::string savedBefore = Saved();
  for (const FailingCase &input : cases) {
    EXPECT_EQ(input.status, Load(input.text)) << input.name;
    EXPECT_EQ(before, Segments()) << input.name;
    EXPECT_EQ(savedBefore, Saved()) << input.name;
    EXPECT_EQ(TRL_FILE_FORMAT_SREC, TrlFirmwareGetFileFormat()) << input.name;
  }
  EXPECT_EQ(TRL_ERR_OVERFLOW, Load(IhexValue(4, 0xFFFF) + Ihex(0, 0xFFF0, Ramp(16)), 0x10));
}

std::string CarriageReturnsOnly(std::string text) {
  std::replace(text.begin(), text.end(), '\n', '\r');
  return text;
}

TEST_F(ImageTest, LoneCarriageReturnsEndLinesAndADosEndOfFileByteMayEndAFile) {
  const std::vector<FailingCase> cases = {
      {"S-records", Srec('1', 0x10, {5}) + Srec('9', 0) + "\x1A", TRL_OK},
      {"Intel HEX, no line end before it", Ihex(0, 0x10, {5}) + ":00000001FF\x1A", TRL_OK},
      {"two of them", Srec('1', 0x10, {5}) + "\x1A\x1A", TRL_ERR_SYNTAX},
      {"a line end and blanks after it", Ihex(0, 0x10, {5}) + "\x1A\r\n \n", TRL_OK},
      {"a record after it", Srec('1', 0x10, {5}) + "\x1A\n" + Srec('9', 0), TRL_ERR_SYNTAX},
      {"S-records ending in a lone CR", CarriageReturnsOnly(Srec('1', 0x10, {5}) + Srec('9', 0)), TRL_OK},
      {"Intel HEX ending in a lone CR", CarriageReturnsOnly(Ihex(0, 0x10, {5}) + IHEX_END), TRL_OK},
  };
  const std::string path = ::testing::TempDir() + "trellan-dos-end.hex";
  for (const FailingCase &input : cases) {
    FILE *file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, file);
    std::fwrite(input.text.data(), 1, input.text.size(), file);
    std::fclose(file);
    for (const bool fromFile : {false, true}) {
      ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
      EXPECT_EQ(input.status, fromFile ? TrlFirmwareLoadFromFile(path.c_str(), 0) : Load(input.text))
          << input.name << (fromFile ? " from a file" : "");
      if (input.status == TRL_OK) {
        EXPECT_EQ((SegmentSnapshot{{0x10, {5}}}), Segments()) << input.name;
      }
    }
  }
  std::remove(path.c_str());
}

TEST_F(ImageTest, IntelHexSaveWritesThePlainLayout) {
  /* 20 bytes up to a 64 KiB boundary and on past it, a gap, then one byte at 0x1000E. */
  std::string text = IhexValue(4, 0x0800) + Ihex(0, 0xFFF0, Ramp(16)) + IhexValue(4, 0x0801) +
                     Ihex(0, 0, Ramp(20, 16)) + IhexValue(4, 0) + IhexValue(2, 0x1000) +
                     Ihex(0, 0xE, {0x3F}) + IhexValue(3, 0x1234, 0x5678) + IHEX_END;
  ASSERT_EQ(TRL_OK, Load(text));
  const std::string expected = IhexValue(4, 1) + Ihex(0, 0x000E, {0x3F}) + IhexValue(4, 0x0800) +
                               Ihex(0, 0xFFF0, Ramp(16)) + IhexValue(4, 0x0801) +
                               Ihex(0, 0, Ramp(16, 16)) + Ihex(0, 0x10, Ramp(4, 32)) +
                               IhexValue(3, 0x1234, 0x5678) + IHEX_END;
  EXPECT_EQ(expected, Saved());
}

struct StartCase {
  const char *name;
  std::string input;
  std::string lastRecords; /* what the Intel HEX save ends with */
};

TEST_F(ImageTest, IntelHexSaveKeepsTheStartAddressAsTheInputHeldIt) {
  const std::string data = Ihex(0, 0x10, {1});
  const std::vector<StartCase> cases = {
      {"03 stays 03", data + IhexValue(3, 0xF000, 0xFFF0), IhexValue(3, 0xF000, 0xFFF0) + IHEX_END},
      {"05 stays 05", data + IhexValue(5, 0x0800, 0x0101), IhexValue(5, 0x0800, 0x0101) + IHEX_END},
      {"S-record start becomes 05", Srec('1', 0x10, {1}) + Srec('7', 0x08000101),
       IhexValue(5, 0x0800, 0x0101) + IHEX_END},
      {"none held, none written", data, data + IHEX_END},
  };
  for (const StartCase &input : cases) {
    ASSERT_EQ(TRL_OK, TrlFirmwareInit(TRL_FILE_FORMAT_IHEX));
    ASSERT_EQ(TRL_OK, Load(input.input)) << input.name;
    ASSERT_EQ(TRL_OK, TrlFirmwareSetFileFormat(TRL_FILE_FORMAT_IHEX));
    const std::string saved = Saved();
    ASSERT_GE(saved.size(), input.lastRecords.size()) << input.name;
    EXPECT_EQ(input.lastRecords, saved.substr(saved.size() - input.lastRecords.size())) << input.name;
  }
}

TEST_F(ImageTest, SavesFollowTheLastLoadedFormatThroughClearAndFailure) {
  const std::string hex = Ihex(0, 0x10, {1}) + IHEX_END;
  EXPECT_EQ(TRL_FILE_FORMAT_SREC, TrlFirmwareGetFileFormat());
  ASSERT_EQ(TRL_OK, Load(hex));
  EXPECT_EQ(TRL_FILE_FORMAT_IHEX, TrlFirmwareGetFileFormat());
  ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
  const uint8_t table[2] = {0xAA, 0xBB};
  ASSERT_EQ(TRL_OK, TrlFirmwareAddData(0x20, 2, table));
  EXPECT_EQ(Ihex(0, 0x20, {0xAA, 0xBB}) + IHEX_END, Saved());
  EXPECT_EQ(TRL_ERR_SYNTAX, Load("S1\n"));
  EXPECT_EQ(TRL_FILE_FORMAT_IHEX, TrlFirmwareGetFileFormat());
  ASSERT_EQ(TRL_OK, Load(Srec('1', 0x30, {1})));
  EXPECT_EQ(TRL_FILE_FORMAT_SREC, TrlFirmwareGetFileFormat());
  EXPECT_EQ(TRL_ERR_ARGUMENT, TrlFirmwareSetFileFormat(2));
  ASSERT_EQ(TRL_OK, TrlFirmwareInit(TRL_FILE_FORMAT_IHEX));
  EXPECT_EQ(IHEX_END, Saved());
}

struct BinaryCase {
  const char *name;
  uint32_t base;
  size_t length;
  uint32_t status;
};

TEST_F(ImageTest, RawBinaryLoadsAtItsBaseAndKeepsTheSaveFormat) {
  ASSERT_EQ(TRL_OK, Load(Ihex(0, 0x10, {9}) + IHEX_END));
  const Bytes bytes = Ramp(300);
  const std::vector<BinaryCase> cases = {
      {"empty", 0x1000, 0, TRL_ERR_EMPTY},
      {"past 0xFFFFFFFF", 0xFFFFFF00, 300, TRL_ERR_OVERFLOW},
      {"contradicts held data", 0x0F, 2, TRL_ERR_CONFLICT},
      {"beside held data", 0x11, 300, TRL_OK},
  };
  for (const BinaryCase &input : cases) {
    const SegmentSnapshot before = Segments();
    EXPECT_EQ(input.status, TrlFirmwareLoadBinaryFromMemory(bytes.data(), input.length, input.base))
        << input.name;
    if (input.status != TRL_OK) {
      EXPECT_EQ(before, Segments()) << input.name;
    }
  }
  Bytes expected = {9};
  expected.insert(expected.end(), bytes.begin(), bytes.end());
  EXPECT_EQ((SegmentSnapshot{{0x10, expected}}), Segments());
  EXPECT_EQ(TRL_FILE_FORMAT_IHEX, TrlFirmwareGetFileFormat());
}

TEST_F(ImageTest, RawBinaryLoadsFromAFileLargerThanAReadBlock) {
  Bytes bytes(700 * 1024);
  std::mt19937 random(3);
  for (uint8_t &byte : bytes) byte = static_cast<uint8_t>(random());
  const std::string path = ::testing::TempDir() + "trellan-readback.bin";
  FILE *file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, file);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  ASSERT_EQ(TRL_OK, TrlFirmwareLoadBinaryFromFile(path.c_str(), 0x08000000));
  std::remove(path.c_str());
  EXPECT_EQ((SegmentSnapshot{{0x08000000, bytes}}), Segments());
  EXPECT_EQ(TRL_ERR_OPEN, TrlFirmwareLoadBinaryFromFile("/nonexistent/readback.bin", 0));
  EXPECT_EQ(TRL_ERR_EMPTY, TrlFirmwareLoadBinaryFromFile("/dev/null", 0));
}

}  // namespace
