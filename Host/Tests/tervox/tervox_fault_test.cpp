/* Tervox against hostile inputs and outputs, and every ring size with records crossing its end. */
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ring_dump_builder.h"
#include "test_support.h"
#include "tervox_runner.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST_F(TervoxTest, OutputsThatCannotBeCreatedAreRefused) {
  RingDumpBuilder builder(2048);
  WriteFileBytes(folder.Path("in.prb"), builder.File(0, builder.PutRecord(0, {1}, 0)));
  mkdir(folder.Path("folder.pcap").c_str(), 0755);
  /* Files without write permission: EveryKindOfTargetIsWrittenAsTheSystemAllows, as an unprivileged user. */
  CommandResult result = Run("in.prb folder.pcap 2 0");
  EXPECT_EQ(255, result.exitCode);
  EXPECT_NE(std::string::npos,
            result.output.find("Error: could not create capture file folder.pcap: Is a directory\n"))
      << result.output;
  result = Run("in.prb no/such/folder.pcap 2 0");
  EXPECT_EQ(255, result.exitCode);
  EXPECT_NE(std::string::npos,
            result.output.find("zelb size 2048\nError: could not create capture file "
                               "no/such/folder.pcap: No such file or directory\n"))
      << result.output;
  EXPECT_EQ((std::vector<std::string>{"folder.pcap", "in.prb"}), ListFolder(folder.root));
}

TEST_F(TervoxTest, AFailedWriteIsReported) {
  if (TervoxRunsUnderWine()) {
    GTEST_SKIP() << "Windows has no /dev/full, and wine hides the Unix devices";
  }
  RingDumpBuilder builder(2048);
  WriteFileBytes(folder.Path("in.prb"), builder.File(0, builder.PutRecord(0, {1}, 0)));
  CommandResult result = Run("in.prb /dev/full 2 0");
  EXPECT_EQ(255, result.exitCode);
  EXPECT_NE(std::string::npos,
            result.output.find("zelb size 2048\nError: could not write capture file /dev/full\n"))
      << result.output;
  EXPECT_EQ(std::vector<std::string>{"in.prb"}, ListFolder(folder.root));
}

TEST_F(TervoxTest, AFullDiskIsReportedAndLeavesNoCapture) {
  if (TervoxRunsUnderWine() || geteuid() != 0) {
    GTEST_SKIP() << "needs root on Linux, for a small file system of its own";
  }
  RingDumpBuilder builder(16384);
  uint16_t next = 0;
  for (int record = 0; record < 8; ++record) next = builder.PutRecord(next, Pattern(1000), 0);
  WriteFileBytes(folder.Path("in.prb"), builder.File(0, next));
  mkdir(folder.Path("small").c_str(), 0755);
  /* A 4 KiB file system of its own, in a mount namespace that ends with the run. */
  const std::string prefix =
      "unshare -m sh -c 'mount -t tmpfs -o size=4k none small && \"$@\"; status=$?; "
      "ls -A small > listing; exit $status' sh ";
  CommandResult result =
      RunCommand(TervoxCommandLine(folder, "in.prb small/out.pcap 16 0", prefix));
  EXPECT_EQ(255, result.exitCode);
  EXPECT_NE(std::string::npos,
            result.output.find("zelb size 16384\nError: could not write capture file small/out.pcap\n"))
      << result.output;
  EXPECT_EQ("", ReadFileText(folder.Path("listing")));
}

TEST_F(TervoxTest, FailedRunsBeforeAnyPacketKeepAnExistingCapture) {
  WriteFileText(folder.Path("out.pcap"), "previous capture\n");
  mkdir(folder.Path("folder.prb").c_str(), 0755);
  CommandResult result = Run("missing.prb out.pcap 2 0");
  EXPECT_EQ(255, result.exitCode);
  result = Run("folder.prb out.pcap 2 0");
  EXPECT_EQ(255, result.exitCode);
  /* Windows refuses to open a folder as a file; Linux opens it and fails the read. */
  const std::string folderMessage = TervoxRunsUnderWine()
                                        ? "Error opening input file folder.prb\n"
                                        : "Error: could not read input file folder.prb\n";
  EXPECT_NE(std::string::npos, result.output.find(folderMessage)) << result.output;
  EXPECT_EQ("previous capture\n", ReadFileText(folder.Path("out.pcap")));
  EXPECT_EQ((std::vector<std::string>{"folder.prb", "out.pcap"}), ListFolder(folder.root));
}

TEST_F(TervoxTest, ReplacingAnExistingCaptureKeepsItsPermissions) {
  if (TervoxRunsUnderWine()) {
    GTEST_SKIP() << "Windows keeps no Unix permission bits; replacing is tested with spaced paths";
  }
  RingDumpBuilder builder(2048);
  WriteFileBytes(folder.Path("in.prb"), builder.File(0, builder.PutRecord(0, {1, 2}, 0)));
  WriteFileText(folder.Path("out.pcap"), "old\n");
  chmod(folder.Path("out.pcap").c_str(), 0640);
  ASSERT_EQ(0, Run("in.prb out.pcap 2 0").exitCode);
  EXPECT_EQ(1u, ReadCapture(folder.Path("out.pcap")).size());
  struct stat status {};
  ASSERT_EQ(0, stat(folder.Path("out.pcap").c_str(), &status));
  EXPECT_EQ(0640u, status.st_mode & 0777u);
}

TEST_F(TervoxTest, HugeGarbageInputReadsOnlyTheRing) {
  FILE *file = std::fopen(folder.Path("huge.prb").c_str(), "wb");
  ASSERT_NE(nullptr, file);
  const Bytes head = {0, 0, 0xFF, 0xFF, 9, 0, 0, 0, 0, 0, 0, 0xAB, 0xCD};  /* one record, then zeros */
  std::fwrite(head.data(), 1, head.size(), file);
  ASSERT_EQ(0, ftruncate(fileno(file), 200L * 1000 * 1000));
  std::fclose(file);
  CommandResult result = Run("huge.prb out.pcap 16 0");
  EXPECT_EQ(255, result.exitCode);  /* the zeros behind the first record are a malformed record */
  EXPECT_LT(result.peakMemoryKiB, 64 * 1024);
  ASSERT_EQ(1u, ReadCapture(folder.Path("out.pcap")).size());
}

TEST_F(TervoxTest, EverySizeWithRecordsCrossingTheRingEnd) {
  for (uint16_t kib = 2; kib <= 16; ++kib) {
    const uint32_t ringBytes = kib * 1024u;
    RingDumpBuilder builder(ringBytes);
    const uint16_t start = static_cast<uint16_t>(ringBytes - 30);
    const Bytes first = Pattern(60, static_cast<uint8_t>(kib));
    const Bytes second = Pattern(100, 0x80);
    uint16_t next = builder.PutRecord(start, first, kib);
    const uint16_t end = builder.PutRecord(next, second, 1000u + kib);
    WriteFileBytes(folder.Path("in.prb"), builder.File(start, end));
    const std::string size = std::to_string(kib);
    CommandResult result = Run("in.prb out.pcap " + size + " 100");
    ASSERT_EQ(0, result.exitCode) << kib;
    EXPECT_NE(std::string::npos, result.output.find("zelb size " + std::to_string(ringBytes) + "\n"));
    std::vector<Packet> expected = {MakePacket(100, kib * 1000u, first),
                                    MakePacket(101, kib * 1000u, second)};
    EXPECT_EQ(expected, ReadCapture(folder.Path("out.pcap"))) << kib;
  }
}

TEST_F(TervoxTest, PositionsNearTheTopOfThe16BitRange) {
  /* From 65500 the next position wraps to 19: below the end, so the walk goes on to it. */
  RingDumpBuilder builder(4096);
  uint16_t next = builder.PutRecord(65500, Pattern(48), 1);
  ASSERT_EQ(19, next);
  const uint16_t after = builder.PutRecord(next, Pattern(10), 2);
  WriteFileBytes(folder.Path("wrap.prb"), builder.File(65500, 65535));
  CommandResult result = Run("wrap.prb wrap.pcap 4 0");
  /* 65535 is not reached: the zeros behind the second record are a malformed record. */
  EXPECT_EQ(255, result.exitCode);
  EXPECT_NE(std::string::npos, result.output.find("Error: malformed record at position 36:"));
  EXPECT_EQ(2u, ReadCapture(folder.Path("wrap.pcap")).size());

  /* The second record's length field points exactly at the end position: two packets, success. */
  WriteFileBytes(folder.Path("exact.prb"), builder.File(65500, after));
  result = Run("exact.prb exact.pcap 4 0");
  EXPECT_EQ(0, result.exitCode) << result.output;
  EXPECT_EQ(2u, ReadCapture(folder.Path("exact.pcap")).size());
}

}  // namespace
