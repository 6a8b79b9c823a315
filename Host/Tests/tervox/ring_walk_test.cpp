#include "ring_walk.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "ring_dump_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Delivered {
  uint32_t timeOffset;
  Bytes payload;
  bool operator==(const Delivered &other) const {
    return timeOffset == other.timeOffset && payload == other.payload;
  }
};

void Collect(const RingRecord *record, void *context) {
  static_cast<std::vector<Delivered> *>(context)->push_back(
      {record->timeOffset, Bytes(record->packetBuffer, record->packetBuffer + record->payloadLength)});
}

struct Walked {
  WalkResult result;
  std::vector<Delivered> records;
};

Walked Walk(const RingDumpBuilder &builder, uint16_t start, uint16_t end) {
  static RingDump dump;
  std::memset(&dump, 0, sizeof dump);
  dump.startPosition = start;
  dump.endPosition = end;
  std::memcpy(dump.ring, builder.ring.data(), builder.ring.size());
  static uint8_t packet[PACKET_BUFFER_SIZE];
  Walked walked{};
  walked.result = WalkRingRecords(&dump, static_cast<uint16_t>(builder.ring.size()), packet, Collect,
                                  &walked.records);
  EXPECT_EQ(walked.records.size(), walked.result.recordCount);
  return walked;
}

TEST(RingWalk, TwoRecordsStopWhereTheNextPositionReachesTheEnd) {
  RingDumpBuilder builder(2048);
  EXPECT_EQ(11, builder.PutRecord(0, {1, 2, 3, 4}, 10));
  EXPECT_EQ(22, builder.PutRecord(11, {5, 6, 7, 8}, 20));
  builder.PutRecord(22, {9}, 30);  /* must not be delivered */
  Walked walked = Walk(builder, 0, 22);
  EXPECT_EQ(WALK_END_REACHED, walked.result.outcome);
  EXPECT_EQ((std::vector<Delivered>{{10, {1, 2, 3, 4}}, {20, {5, 6, 7, 8}}}), walked.records);
}

TEST(RingWalk, StartEqualToEndAndEndBelowStartStillDeliverOneRecord) {
  RingDumpBuilder builder(2048);
  uint16_t next = builder.PutRecord(100, {1}, 1);
  builder.PutRecord(next, {2}, 2);
  EXPECT_EQ(1u, Walk(builder, 100, 100).records.size());
  EXPECT_EQ(1u, Walk(builder, 100, 50).records.size());
}

TEST(RingWalk, RecordCrossingTheRingEndContinuesAtByteZero) {
  RingDumpBuilder builder(2048);
  const Bytes payload = Pattern(40, 0x30);
  builder.PutRecord(2046, payload, 0x01020304);
  EXPECT_EQ(45, builder.ring[2046]);  /* length bytes at 2046 and 2047 ... */
  EXPECT_EQ(0x00, builder.ring[0]);     /* ... and record byte 2 at ring byte 0 */
  Walked walked = Walk(builder, 2046, 2047);
  EXPECT_EQ((std::vector<Delivered>{{0x01020304, payload}}), walked.records);
}

TEST(RingWalk, PositionsAboveTheRingSizeAreMasked) {
  RingDumpBuilder builder(2048);
  builder.PutRecord(5, {0xAB, 0xCD}, 7);
  EXPECT_EQ((std::vector<Delivered>{{7, {0xAB, 0xCD}}}), Walk(builder, 2048 + 5, 2048 + 6).records);
  /* A 3 KiB ring is masked with 0xBFF too: position 0x1000 reads ring byte 0. */
  RingDumpBuilder odd(3072);
  odd.PutRecord(0, {0xEE}, 9);
  EXPECT_EQ((std::vector<Delivered>{{9, {0xEE}}}), Walk(odd, 0x1000, 0x1000).records);
}

TEST(RingWalk, CirclesTheRingUntilTheEndPositionIsReached) {
  /* Two 1024-byte records fill a 2 KiB ring; end 40000 is reached after 40 of them. */
  RingDumpBuilder builder(2048);
  builder.PutRecord(0, Pattern(1017, 1), 1);
  builder.PutRecord(1024, Pattern(1017, 2), 2);
  Walked walked = Walk(builder, 0, 40000);
  EXPECT_EQ(WALK_END_REACHED, walked.result.outcome);
  ASSERT_EQ(40u, walked.records.size());
  EXPECT_EQ(2u, walked.records[39].timeOffset);
}

TEST(RingWalk, EndsAWalkThatNeverReachesTheEndAfter65536Bytes) {
  RingDumpBuilder builder(2048);
  builder.PutRecord(0, Pattern(1017, 1), 1);
  builder.PutRecord(1024, Pattern(1017, 2), 2);
  Walked walked = Walk(builder, 0, 65535);  /* positions wrap past 65535 to below the end */
  EXPECT_EQ(WALK_BOUND_REACHED, walked.result.outcome);
  EXPECT_EQ(64u, walked.records.size());
  EXPECT_EQ(0, walked.result.position);
}

TEST(RingWalk, MalformedLengthsStopTheWalkWithoutCopying) {
  struct Case {
    uint16_t lengthField;
    bool delivered;
  };
  for (Case c : {Case{0, false}, Case{4, false}, Case{5, true}, Case{1505, true},
                 Case{1506, false}, Case{0xFFFF, false}}) {
    RingDumpBuilder builder(16384);
    uint16_t next = builder.PutRecord(0, {1, 2}, 1);
    builder.PutLengthField(next, c.lengthField);
    Walked walked = Walk(builder, 0, 60000);
    ASSERT_GE(walked.records.size(), 1u);
    if (c.delivered) {
      EXPECT_EQ(Bytes(c.lengthField - 5u, 0), walked.records[1].payload) << c.lengthField;
    } else {
      EXPECT_EQ(WALK_MALFORMED_RECORD, walked.result.outcome) << c.lengthField;
      EXPECT_EQ(next, walked.result.position);
      EXPECT_EQ(c.lengthField, walked.result.lengthField);
      EXPECT_EQ(1u, walked.records.size());
    }
  }
}

TEST(RingWalk, ThePacketBufferIsClearedBeforeEachRecord) {
  RingDumpBuilder builder(2048);
  uint16_t next = builder.PutRecord(0, Bytes(100, 0xFF), 1);
  builder.PutRecord(next, {0x11}, 2);
  static RingDump dump;
  std::memcpy(dump.ring, builder.ring.data(), builder.ring.size());
  dump.startPosition = 0;
  dump.endPosition = 200;
  static uint8_t packet[PACKET_BUFFER_SIZE];
  WalkRingRecords(&dump, 2048, packet, [](const RingRecord *, void *) {}, nullptr);
  EXPECT_EQ(0x11, packet[0]);
  EXPECT_EQ(0x00, packet[1]);
}

TEST(RingDumpFile, ShortFilesReadAsZerosAndAOneBytePositionIsItsLowByte) {
  static RingDump dump;
  FILE *file = std::tmpfile();
  ASSERT_NE(nullptr, file);
  const uint8_t bytes[] = {0x34, 0x12, 0x78, 0x56, 0xAA};
  std::fwrite(bytes, 1, sizeof bytes, file);
  std::rewind(file);
  ASSERT_TRUE(ReadRingDump(file, 2048, &dump));
  EXPECT_EQ(0x1234, dump.startPosition);
  EXPECT_EQ(0x5678, dump.endPosition);
  EXPECT_EQ(0xAA, dump.ring[0]);
  EXPECT_EQ(0x00, dump.ring[1]);
  std::rewind(file);
  ASSERT_EQ(0, ftruncate(fileno(file), 3));
  ASSERT_TRUE(ReadRingDump(file, 2048, &dump));
  EXPECT_EQ(0x1234, dump.startPosition);
  EXPECT_EQ(0x0078, dump.endPosition);
  std::fclose(file);
}

}  // namespace
