#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "image_fixture.h"
#include "srec_text.h"
#include "test_support.h"


namespace {

using Bytes = std::vector<uint8_t>;

TEST_F(ImageTest, LoadsDataHeaderAndStartAddress) {
  std::string text = Srec('0', 0, {'h', 'd', 'r'}) + Srec('1', 0x1000, Ramp(4)) +
                     Srec('1', 0x1004, Ramp(2, 4)) + Srec('1', 0x2000, {0xAA}) + Srec('5', 3) +
                     Srec('9', 0x1234);
  ASSERT_EQ(TRL_OK, Load(text));
  EXPECT_EQ((SegmentSnapshot{{0x1000, Ramp(6)}, {0x2000, {0xAA}}}), Segments());
  uint32_t headerLength = 0;
  const uint8_t *header = TrlFirmwareGetHeader(&headerLength);
  ASSERT_NE(nullptr, header);
  EXPECT_EQ("hdr", std::string(header, header + headerLength));
  uint32_t start = 0;
  EXPECT_EQ(1u, TrlFirmwareGetStartAddress(&start));
  EXPECT_EQ(0x1234u, start);
}

TEST_F(ImageTest, AcceptsCrlfLowerCaseBlankLinesAndTrailingSpace) {
  std::string record = Srec('3', 0x08000000, Ramp(8, 0xA0));
  std::string lower = record;
  for (char &c : lower) c = static_cast<char>(c == 'S' ? c : std::tolower(c));
  record.pop_back();
  ASSERT_EQ(TRL_OK, Load("\n  \r\n" + record + " \t\r\n\n" + lower));
  EXPECT_EQ((SegmentSnapshot{{0x08000000, Ramp(8, 0xA0)}}), Segments());
}

TEST_F(ImageTest, JoinedFilesLoadAsTheirUnionKeepingFirstHeaderAndStart) {
  std::string first = Srec('0', 0, {'A'}) + Srec('2', 0x10000, Ramp(4)) + Srec('5', 1) +
                      Srec('8', 0x10000);
  std::string second = Srec('0', 0, {'B'}) + Srec('2', 0x10004, Ramp(4, 4)) +
                       Srec('2', 0x20000, {1}) + Srec('5', 2) + Srec('8', 0x20000);
  ASSERT_EQ(TRL_OK, Load(first + second));
  EXPECT_EQ((SegmentSnapshot{{0x10000, Ramp(8)}, {0x20000, {1}}}), Segments());
  uint32_t headerLength = 0;
  EXPECT_EQ('A', *TrlFirmwareGetHeader(&headerLength));
  uint32_t start = 0;
  TrlFirmwareGetStartAddress(&start);
  EXPECT_EQ(0x10000u, start);
}

TEST_F(ImageTest, RecordsInAnyOrderMergeAndTheSameValueTwiceIsFine) {
  std::string text = Srec('1', 0x20, Ramp(16, 0x20)) + Srec('1', 0x00, Ramp(16)) +
                     Srec('1', 0x10, Ramp(16, 0x10)) + Srec('1', 0x08, Ramp(16, 0x08));
  ASSERT_EQ(TRL_OK, Load(text));
  EXPECT_EQ((SegmentSnapshot{{0x00, Ramp(0x30)}}), Segments());
}

TEST_F(ImageTest, AddressOffsetMovesDataAndStartAddress) {
  ASSERT_EQ(TRL_OK, Load(Srec('1', 0x10, {7}) + Srec('9', 0x10), 0x08000000));
  EXPECT_EQ((SegmentSnapshot{{0x08000010, {7}}}), Segments());
  uint32_t start = 0;
  TrlFirmwareGetStartAddress(&start);
  EXPECT_EQ(0x08000010u, start);
  EXPECT_EQ(TRL_ERR_OVERFLOW, Load(Srec('1', 0x10, {7}), 0xFFFFFFF0));
}

TEST_F(ImageTest, DataMayEndExactlyAtTheTopOfTheAddressSpace) {
  ASSERT_EQ(TRL_OK, Load(Srec('3', 0xFFFFFFF0, Ramp(16))));
  EXPECT_EQ((SegmentSnapshot{{0xFFFFFFF0, Ramp(16)}}), Segments());
}

struct FailingInput {
  const char *name;
  std::string text;
  uint32_t status;
};

TEST_F(ImageTest, EveryKindOfBadInputFailsWithItsStatusAndChangesNothing) {
  std::string good = Srec('1', 0x100, Ramp(4));
  std::string s1 = Srec('1', 0x200, Ramp(4));
  std::string badChecksum = s1;
  badChecksum[badChecksum.size() - 2] = badChecksum[badChecksum.size() - 2] == '0' ? '1' : '0';
  std::string countOverstated = s1;
  countOverstated.replace(2, 2, "08");
  std::string countUnderstated = s1;
  countUnderstated.replace(2, 2, "06");
  const std::vector<FailingInput> inputs = {
      {"empty", "", TRL_ERR_EMPTY},
      {"blank lines only", "\n \r\n\n", TRL_ERR_EMPTY},
      {"not a record", "hello\n", TRL_ERR_SYNTAX},
      {"lower-case s", "s" + s1.substr(1), TRL_ERR_SYNTAX},
      {"non-hex digit", "S1070200000102G3EE\n", TRL_ERR_SYNTAX},
      {"odd length", s1.substr(0, s1.size() - 2) + "\n", TRL_ERR_SYNTAX},
      {"count overstated", countOverstated, TRL_ERR_SYNTAX},
      {"count understated", countUnderstated, TRL_ERR_SYNTAX},
      {"too short for its address", "S3030000FC\n", TRL_ERR_SYNTAX},
      {"only a type", "S1\n", TRL_ERR_SYNTAX},
      {"leading space", " " + s1, TRL_ERR_SYNTAX},
      {"NUL byte", std::string("S1\0", 3) + s1.substr(3), TRL_ERR_SYNTAX},
      {"checksum", badChecksum, TRL_ERR_CHECKSUM},
      {"S4", Srec('4', 0x200, {1}), TRL_ERR_RECORD_TYPE},
      {"unknown type", "SX0300FC\n", TRL_ERR_RECORD_TYPE},
      {"count disagrees", s1 + Srec('5', 2), TRL_ERR_COUNT},
      {"S6 count disagrees", s1 + Srec('6', 0), TRL_ERR_COUNT},
      {"count record with data", s1 + Srec('5', 1, {0}), TRL_ERR_SYNTAX},
      {"termination with data", s1 + Srec('9', 0, {0}), TRL_ERR_SYNTAX},
      {"past 0xFFFFFFFF", Srec('3', 0xFFFFFFF0, Ramp(17)), TRL_ERR_OVERFLOW},
      {"out of order past 0xFFFFFFFF", Srec('3', 0xFFFFFFF0, Ramp(16)) + Srec('3', 0xFFFFFFF8, Ramp(16)),
       TRL_ERR_OVERFLOW},
      {"two values for one address", s1 + Srec('1', 0x202, {9}), TRL_ERR_CONFLICT},
      {"contradicts held data", Srec('1', 0x103, {0xEE}), TRL_ERR_CONFLICT},
      {"whole chunks out of order disagree",
       Srec('1', 0x240, {1}) + Srec('1', 0x200, Ramp(16)) + Srec('1', 0x200, Ramp(16, 1)), TRL_ERR_CONFLICT},
      {"part of a chunk out of order disagrees",
       Srec('1', 0x240, {1}) + Srec('1', 0x200, Ramp(16)) + Srec('1', 0x208, {9}), TRL_ERR_CONFLICT},
      {"a record in order and one out of order disagree",
       Srec('1', 0x240, {1}) + Srec('1', 0x200, Ramp(16)) + Srec('1', 0x240, {2}), TRL_ERR_CONFLICT},
      {"error after good lines", s1 + s1 + "S1\n", TRL_ERR_SYNTAX},
      /* After the first record a line is read at the length its count gives: these must fail as before. */
      {"a line end inside a later record", s1 + s1.substr(0, 8) + "\r" + s1.substr(9), TRL_ERR_SYNTAX},
      {"a later record runs on past its count", s1 + s1.substr(0, s1.size() - 1) + "00\n", TRL_ERR_SYNTAX},
      {"a later record's count is not hex", s1 + "S1G7" + s1.substr(4), TRL_ERR_SYNTAX},
      {"a line end as a later record's type", s1 + "S\n051234AABB4F\n", TRL_ERR_SYNTAX},
      {"a line end inside a later S4", s1 + "S405000\n000000\n", TRL_ERR_SYNTAX},
  };
  ASSERT_EQ(TRL_OK, Load(Srec('0', 0, {'x'}) + good + Srec('9', 0x100)));
  const SegmentSnapshot before = Segments();
  const std::string savedBefore = Saved();
  for (const FailingInput &input : inputs) {
    EXPECT_EQ(input.status, Load(input.text)) << input.name;
    EXPECT_EQ(before, Segments()) << input.name;
    EXPECT_EQ(savedBefore, Saved()) << input.name;
  }
}

TEST_F(ImageTest, LoadFromFileReportsUnopenableAndEmptyFiles) {
  EXPECT_EQ(TRL_ERR_OPEN, TrlFirmwareLoadFromFile("/nonexistent/folder/file.srec", 0));
  EXPECT_EQ(TRL_ERR_ARGUMENT, TrlFirmwareLoadFromFile(nullptr, 0));
  EXPECT_EQ(TRL_ERR_EMPTY, TrlFirmwareLoadFromFile("/dev/null", 0));
  EXPECT_EQ(TRL_ERR_OPEN, TrlFirmwareLoadFromFile("/", 0)); /* a folder cannot be read */
}

std::string WriteTemporaryFile(const std::string &name, const std::string &text) {
  const std::string path = ::testing::TempDir() + name;
  FILE *file = std::fopen(path.c_str(), "wb");
  EXPECT_NE(nullptr, file);
  if (file != nullptr) {
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
  return path;
}

TEST_F(ImageTest, LoadFromFileReadsAcrossBlockBoundariesInAnyRecordOrder) {
  /* Enough records to span several read blocks, so lines are cut at block ends. */
  std::vector<std::string> records;
  Bytes expected;
  for (uint32_t offset = 0; offset < 64 * 1024 * 32; offset += 32) {
    Bytes data = Ramp(32, static_cast<uint8_t>(offset / 32));
    records.push_back(Srec('3', 0x08000000 + offset, data));
    expected.insert(expected.end(), data.begin(), data.end());
  }
  for (const char *order : {"ascending", "descending", "shuffled"}) {
    if (order[0] == 'd') {
      std::reverse(records.begin(), records.end());
    } else if (order[0] == 's') {
      std::shuffle(records.begin(), records.end(), std::mt19937(1));
    }
    std::string text;
    for (const std::string &record : records) text += record;
    const std::string path = WriteTemporaryFile("trellan-blocks.srec", text);
    ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
    ASSERT_EQ(TRL_OK, TrlFirmwareLoadFromFile(path.c_str(), 0)) << order;
    std::remove(path.c_str());
    EXPECT_EQ((SegmentSnapshot{{0x08000000, expected}}), Segments()) << order;
  }
}

TEST_F(ImageTest, LoadFromFileSkipsTrailingWhiteSpaceOfAnyLength) {
  std::string record = Srec('1', 0x100, {1, 2});
  record.pop_back();
  const std::string spaces(3 << 20, ' ');
  const std::vector<FailingInput> inputs = {
      {"spaces, then a line end", record + spaces + "\r\n" + Srec('1', 0x102, {3}), TRL_OK},
      {"spaces up to the end", Srec('1', 0x102, {3}) + record + spaces, TRL_OK},
      {"a blank line of spaces", spaces + "\n" + record + "\n" + Srec('1', 0x102, {3}), TRL_OK},
      {"spaces, then more text", record + spaces + "00\n" + Srec('1', 0x102, {3}), TRL_ERR_SYNTAX},
  };
  for (const FailingInput &input : inputs) {
    const std::string path = WriteTemporaryFile("trellan-spaces.srec", input.text);
    ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
    EXPECT_EQ(input.status, TrlFirmwareLoadFromFile(path.c_str(), 0)) << input.name;
    std::remove(path.c_str());
    if (input.status == TRL_OK) {
      EXPECT_EQ((SegmentSnapshot{{0x100, {1, 2, 3}}}), Segments()) << input.name;
    }
  }
}

TEST_F(ImageTest, MemoryReservedFollowsTheRecordsNotTheFileSize) {
  if (BUILT_WITH_ADDRESS_SANITIZER) {
    GTEST_SKIP() << "AddressSanitizer's shadow memory does not fit in the address space this test allows";
  }
  /* 16 data bytes, then a gigabyte of (sparse, zero) text: the load fails at that text, not for memory. */
  const std::string path = WriteTemporaryFile("trellan-sparse.srec", Srec('1', 0x100, Ramp(16)));
  ASSERT_EQ(0, truncate(path.c_str(), off_t{1} << 30));
  const pid_t child = fork();
  if (child == 0) {
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = rlim_t{400} << 20;
    setrlimit(RLIMIT_AS, &limit);
    _exit(static_cast<int>(TrlFirmwareLoadFromFile(path.c_str(), 0)));
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  std::remove(path.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(TRL_ERR_SYNTAX, static_cast<uint32_t>(WEXITSTATUS(status)));
}

TEST(Library, CallsBeforeInitFailAndUnknownFormatIsRefused) {
  TrlFirmwareTerminate();
  const uint8_t byte = 1;
  EXPECT_EQ(TRL_ERR_STATE, TrlFirmwareAddData(0, 1, &byte));
  EXPECT_EQ(TRL_ERR_STATE, TrlFirmwareLoadFromMemory("S9030000FC\n", 11, 0));
  EXPECT_EQ(0u, TrlFirmwareGetSegmentCount());
  EXPECT_EQ(TRL_ERR_ARGUMENT, TrlFirmwareInit(2));
  EXPECT_EQ(TRL_ERR_STATE, TrlFirmwareSaveToFile("/dev/null"));
  EXPECT_STREQ("success", TrlStatusText(TRL_OK));
  EXPECT_STREQ("unknown status", TrlStatusText(999));
}

}  // namespace
