/*
 * End-to-end tests: run the built Tervox (TZ=UTC) on ring dumps made here and
 * read the capture back with libpcap's reader and with capinfos/tshark.
 */
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "ring_dump_builder.h"
#include "test_support.h"
#include "tervox_runner.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string USAGE_WITH_TIMESTAMP =
    "Tervox.exe [input.prb] [output.pcap] [zelb kByte size : min 2, max 16] [timestamp]";
const std::string USAGE_WITHOUT_TIMESTAMP =
    "Tervox.exe [input.prb] [output.pcap] [zelb kByte size : min 2, max 16]";
const std::string EPOCH = "Thu Jan  1 00:00:00 1970";

TEST_F(TervoxTest, ConvertsATypicalDump) {
  RingDumpBuilder builder(4096);
  const Bytes arp = Pattern(42, 0x10);
  const Bytes udp = Pattern(60, 0x40);
  uint16_t next = builder.PutRecord(4000, arp, 1500);  /* crosses the ring's end */
  next = builder.PutRecord(next, udp, 999);
  const uint16_t end = builder.PutRecord(next, Bytes(1500, 0x77), 60000);
  WriteFileBytes(folder.Path("in.prb"), builder.File(4000, end));

  CommandResult result = Run("in.prb out.pcap 4 0");
  EXPECT_EQ(0, result.exitCode);
  EXPECT_EQ(Echo("in.prb", "out.pcap", "4", "0") + BaseTimeLine(EPOCH) + "zelb size 4096\n",
            result.output);
  std::vector<Packet> expected = {MakePacket(1, 500000, arp), MakePacket(0, 999000, udp),
                                  MakePacket(60, 0, Bytes(1500, 0x77))};
  EXPECT_EQ(expected, ReadCapture(folder.Path("out.pcap")));  /* capinfos counts them too */
  CommandResult tshark = RunCommand("tshark -r " + ShellQuote(folder.Path("out.pcap")) +
                                    " -T fields -e frame.len 2>/dev/null");
  EXPECT_EQ(0, tshark.exitCode);
  EXPECT_EQ("42\n60\n1500\n", tshark.output);
}

TEST_F(TervoxTest, BaseTimeIsClampedToTheCaptureLimitAndWraps) {
  RingDumpBuilder builder(2048);
  uint16_t next = builder.PutRecord(0, {1}, 0);
  const uint16_t end = builder.PutRecord(next, {2}, 100000000);  /* 100000 s later */
  WriteFileBytes(folder.Path("in.prb"), builder.File(0, end));

  CommandResult result = Run("in.prb at.pcap 2 4294880895");
  EXPECT_EQ(0, result.exitCode);
  EXPECT_EQ(Echo("in.prb", "at.pcap", "2", "4294880895") +
                BaseTimeLine("Sat Feb  6 06:28:15 2106") + "zelb size 2048\n",
            result.output);

  result = Run("in.prb over.pcap 2 99999999999999999999999");
  EXPECT_EQ(0, result.exitCode);
  EXPECT_EQ(Echo("in.prb", "over.pcap", "2", "99999999999999999999999") +
                "Warning: Time stamp input exceeds PCAP limits. Truncating to 32 bits!\n" +
                BaseTimeLine("Sat Feb  6 06:28:15 2106") + "zelb size 2048\n",
            result.output);
  std::vector<Packet> expected = {MakePacket(4294880895u, 0, {1}),
                                  MakePacket((4294880895u + 100000u) & 0xFFFFFFFFu, 0, {2})};
  EXPECT_EQ(expected, ReadCapture(folder.Path("over.pcap")));
}

TEST_F(TervoxTest, NegativeTimesPassUnchangedAndUnrepresentableOnesAreSaidSo) {
  RingDumpBuilder builder(2048);
  const uint16_t end = builder.PutRecord(0, {1}, 2000);
  WriteFileBytes(folder.Path("in.prb"), builder.File(0, end));
  CommandResult result = Run("in.prb a.pcap 2 -1");
  EXPECT_EQ(0, result.exitCode);
  /* The Windows runtime refuses times before 1970; glibc renders them. */
  EXPECT_EQ(Echo("in.prb", "a.pcap", "2", "-1") +
                (TervoxRunsUnderWine() ? "Interpreted base time: (not representable)\n"
                                       : BaseTimeLine("Wed Dec 31 23:59:59 1969")) +
                "zelb size 2048\n",
            result.output);
  EXPECT_EQ(std::vector<Packet>{MakePacket(1, 0, {1})}, ReadCapture(folder.Path("a.pcap")));

  result = Run("in.prb b.pcap 2 -9223372036854775808");
  EXPECT_EQ(0, result.exitCode);
  EXPECT_EQ(Echo("in.prb", "b.pcap", "2", "-9223372036854775808") +
                "Interpreted base time: (not representable)\nzelb size 2048\n",
            result.output);
}

TEST_F(TervoxTest, SpacedPathsAsTypedReplaceAnExistingCaptureWithEveryByteValue) {
  ASSERT_TRUE(std::filesystem::create_directory(folder.Path("my folder")));
  RingDumpBuilder builder(2048);
  const Bytes everyByte = Pattern(256);  /* CR, LF and Ctrl-Z too: text mode anywhere would show */
  WriteFileBytes(folder.Path("my folder/in put.prb"),
                 builder.File(0, builder.PutRecord(0, everyByte, 1500)));
  WriteFileText(folder.Path("my folder/out put.pcap"), std::string(100000, 'x'));
  /* Tervox.exe takes backslashes as Windows users type them. */
  const std::string separator = TervoxRunsUnderWine() ? "\\" : "/";
  const std::string in = "my folder" + separator + "in put.prb";
  const std::string out = "my folder" + separator + "out put.pcap";
  CommandResult result = Run(ShellQuote(in) + " " + ShellQuote(out) + " 2 0");
  EXPECT_EQ(0, result.exitCode);
  EXPECT_EQ(Echo(in, out, "2", "0") + BaseTimeLine(EPOCH) + "zelb size 2048\n", result.output);
  EXPECT_EQ(std::vector<Packet>{MakePacket(1, 500000, everyByte)},
            ReadCapture(folder.Path("my folder/out put.pcap")));
  EXPECT_EQ((std::vector<std::string>{"in put.prb", "out put.pcap"}),
            ListFolder(folder.Path("my folder")));
}

TEST_F(TervoxTest, ArgumentErrors) {
  CommandResult result = Run("in.prb out.pcap 4");
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ("Error: not enough arguments\n" + USAGE_WITH_TIMESTAMP, result.output);

  for (const char *size : {"1", "17", "0", "-2", "abc", "65537", "99999999999"}) {
    result = Run(std::string("in.prb out.pcap ") + size + " 0");
    EXPECT_EQ(255, result.exitCode) << size;
    EXPECT_EQ(Echo("in.prb", "out.pcap", size, "0") + "Error: zelb kByte size out of range!\n" +
                  USAGE_WITHOUT_TIMESTAMP,
              result.output)
        << size;
  }
  EXPECT_FALSE(FileExists(folder.Path("out.pcap")));
}

TEST_F(TervoxTest, SizesTwoToSixteenAndTheirLow16BitAliasesAreAccepted) {
  RingDumpBuilder builder(16384);
  const uint16_t end = builder.PutRecord(0, {1, 2, 3}, 0);
  WriteFileBytes(folder.Path("in.prb"), builder.File(0, end));
  for (const auto &[argument, bytes] : std::vector<std::pair<std::string, int>>{
           {"2", 2048}, {"16", 16384}, {"65538", 2048}, {" +3x", 3072}}) {
    CommandResult result = Run("in.prb out.pcap '" + argument + "' 0 extra ignored");
    EXPECT_EQ(0, result.exitCode) << argument;
    EXPECT_NE(std::string::npos, result.output.find("zelb size " + std::to_string(bytes) + "\n"))
        << argument;
  }
}

TEST_F(TervoxTest, MissingInputLeavesNoCapture) {
  CommandResult result = Run("missing.prb out.pcap 4 0");
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ(Echo("missing.prb", "out.pcap", "4", "0") + BaseTimeLine(EPOCH) +
                "zelb size 4096\nError opening input file missing.prb\n",
            result.output);
  EXPECT_FALSE(FileExists(folder.Path("out.pcap")));
}

TEST_F(TervoxTest, MalformedRecordKeepsEarlierPacketsAndFails) {
  RingDumpBuilder builder(2048);
  uint16_t next = builder.PutRecord(0, {0xA1}, 5);
  builder.PutLengthField(next, 1506);
  WriteFileBytes(folder.Path("in.prb"), builder.File(0, 1000));
  CommandResult result = Run("in.prb out.pcap 2 10");
  EXPECT_EQ(255, result.exitCode);
  EXPECT_NE(std::string::npos,
            result.output.find("zelb size 2048\nError: malformed record at position 8: length "
                               "field 1506 (must be 5 to 1505)\n"))
      << result.output;
  EXPECT_EQ(std::vector<Packet>{MakePacket(10, 5000, {0xA1})}, ReadCapture(folder.Path("out.pcap")));

  WriteFileBytes(folder.Path("short.prb"), Bytes{0, 0, 0, 0});
  result = Run("short.prb short.pcap 2 0");
  EXPECT_EQ(255, result.exitCode);
  EXPECT_NE(std::string::npos, result.output.find("Error: malformed record at position 0: length field 0"));
  EXPECT_TRUE(ReadCapture(folder.Path("short.pcap")).empty());
}

TEST_F(TervoxTest, WalkThatNeverReachesTheEndIsStopped) {
  RingDumpBuilder builder(2048);
  builder.PutRecord(0, Pattern(1017), 0);
  builder.PutRecord(1024, Pattern(1017), 0);
  WriteFileBytes(folder.Path("in.prb"), builder.File(0, 65535));
  CommandResult result = Run("in.prb out.pcap 2 0");
  EXPECT_EQ(255, result.exitCode);
  EXPECT_NE(std::string::npos,
            result.output.find("Error: end position 65535 was never reached; walk stopped at "
                               "position 0 after 65536 bytes\n"))
      << result.output;
  EXPECT_EQ(64u, ReadCapture(folder.Path("out.pcap")).size());
}

}  // namespace
