/*
 * The firmware-side checker on its own, linked from its C source (built once
 * with the bitwise CRC and once with the CRC table), over Velmark's images and
 * over tables built from the description in docs/table.md. Every read it requests is
 * checked against the read function's contract.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "checksum_info_table.h"
#include "image_cases.h"
#include "reference_table.h"
#include "srec_text.h"
#include "table_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;

/* An image the checker reads through ReadMemoryImage, which notes each broken rule. */
struct MemoryImage {
  explicit MemoryImage(ImageSegments image) : segments(std::move(image)) {}
  ImageSegments segments;
  uint64_t bytesRequested = 0;
  std::vector<std::string> faults;
};

int ReadMemoryImage(void *context, uint32_t address, uint32_t length, uint8_t *buffer) {
  auto *image = static_cast<MemoryImage *>(context);
  image->bytesRequested += length;
  if (length == 0 || length > CIT_READ_CHUNK_SIZE || uint64_t{address} + length > uint64_t{1} << 32) {
    image->faults.push_back("read of " + std::to_string(length) + " bytes at " + std::to_string(address));
    return 0;
  }
  for (const auto &[start, bytes] : image->segments) {
    if (start <= address && uint64_t{address} + length <= uint64_t{start} + bytes.size()) {
      std::copy_n(bytes.begin() + (address - start), length, buffer);
      return 1;
    }
  }
  return 0;
}

uint32_t RoomAt(const ImageSegments &segments, uint32_t address) {
  for (const auto &[start, bytes] : segments) {
    if (start <= address && address - start < bytes.size()) return static_cast<uint32_t>(bytes.size() - (address - start));
  }
  return 0;
}

CitResult Check(MemoryImage &image, uint32_t tableAddress, uint32_t reservedSize) {
  return CheckChecksumInfoTable(ReadMemoryImage, &image, tableAddress, reservedSize);
}

/* Entries 0 .. count-1 of arbitrary content: only the header is checked with them. */
std::vector<ReferenceEntry> SomeEntries(uint32_t count) {
  std::vector<ReferenceEntry> entries;
  for (uint32_t index = 0; index < count; ++index) entries.push_back({index * 0x10, 4, static_cast<uint16_t>(index)});
  return entries;
}

TEST(ChecksumInfoTableCrc, IsCrc16CcittFalseInAnyPieces) {
  const std::string text = "123456789";
  const auto *digits = reinterpret_cast<const uint8_t *>(text.data());
  EXPECT_EQ(0x29B1, CalculateChecksumInfoCrc16(CIT_CRC_INITIAL_VALUE, digits, 9));
  EXPECT_EQ(0xFFFF, CalculateChecksumInfoCrc16(CIT_CRC_INITIAL_VALUE, nullptr, 0));
  Bytes ramp(1000);
  for (size_t index = 0; index < ramp.size(); ++index) ramp[index] = static_cast<uint8_t>(index * 7 + (index >> 8));
  const uint16_t head = CalculateChecksumInfoCrc16(CIT_CRC_INITIAL_VALUE, ramp.data(), 333);
  EXPECT_EQ(ReferenceCrc16(ramp.data(), ramp.size()), CalculateChecksumInfoCrc16(head, ramp.data() + 333, 667));
}

/* Each Velmark image gives its case's outcome, and each entry what the reference computes. */
TEST(ChecksumInfoTable, VelmarkImagesCheckAsTheReferenceSays) {
  ScratchFolder folder;
  for (const ImageCase &imageCase : MakeImageCases(folder)) {
    SCOPED_TRACE(imageCase.file);
    MemoryImage image{LoadImageFile(folder.Path(imageCase.file))};
    const uint32_t room = RoomAt(image.segments, imageCase.tableAddress);
    const CitResult result = Check(image, imageCase.tableAddress, room);
    EXPECT_EQ(imageCase.status, result.status);
    EXPECT_EQ(imageCase.entryCount, result.entryCount);
    EXPECT_EQ(imageCase.failedIndex, result.failedIndex);
    EXPECT_EQ(std::vector<std::string>{}, image.faults);
    if (imageCase.entryCount == 0) continue;

    const Bytes table = ImageBytes(image.segments, imageCase.tableAddress, 10 + 10 * imageCase.entryCount);
    ASSERT_EQ(10 + 10 * imageCase.entryCount, table.size());
    EXPECT_EQ(ReadLittleEndianAt(table, 8, 2), ReferenceCrc16(table.data() + 10, table.size() - 10));
    for (uint32_t index = 0; index < imageCase.entryCount; ++index) {
      const CitEntryResult entry = CheckChecksumInfoTableEntry(ReadMemoryImage, &image, imageCase.tableAddress, index);
      const size_t offset = 10 + 10 * index;
      EXPECT_EQ(ReadLittleEndianAt(table, offset, 4), entry.segmentAddress) << index;
      EXPECT_EQ(ReadLittleEndianAt(table, offset + 4, 4), entry.segmentLength) << index;
      EXPECT_EQ(ReadLittleEndianAt(table, offset + 8, 2), entry.storedCrc) << index;
      const Bytes segment = ImageBytes(image.segments, entry.segmentAddress, entry.segmentLength);
      if (segment.size() != entry.segmentLength) {
        EXPECT_EQ(CIT_STATUS_ENTRY_BYTES_MISSING, entry.status) << index;
        continue;
      }
      const uint16_t crc = ReferenceCrc16(segment.data(), segment.size());
      EXPECT_EQ(crc, entry.imageCrc) << index;
      EXPECT_EQ(crc == entry.storedCrc ? CIT_STATUS_VALID : CIT_STATUS_ENTRY_CRC_WRONG, entry.status) << index;
      if (index == result.failedIndex && result.status == CIT_STATUS_ENTRY_CRC_WRONG) {
        EXPECT_EQ(crc, result.imageCrc);
      }
    }
  }
}

/*
 * A table of 300 entries (count byte 44) in a room of reservedSize bytes: every
 * count 44, 300, 556, ... that fits is tried in one pass over the entries, and
 * a count is taken only when it alone matches.
 */
TEST(ChecksumInfoTable, CountsAboveTheCountByteAreFoundFromTheReservedSize) {
  const Bytes table300 = BuildReferenceTable(SomeEntries(300));
  const Bytes table44 = BuildReferenceTable(SomeEntries(44));
  /* 256 entries whose list CRC is 0xFFFF, the CRC of none: the counts 0 and 256 both match. */
  const Bytes table256 = BuildReferenceTable(EntriesWithListCrc(256, 0xFFFF));
  struct Case {
    const Bytes &table;
    uint32_t reservedSize;
    CitStatus status;
    uint32_t entryCount;
    uint64_t bytesRequested;
  };
  const uint64_t everyCountFitting = 10 + 10 * (44 + 25 * 256); /* in 0x10000 bytes */
  const std::vector<Case> cases = {
      {table300, 3010, CIT_STATUS_VALID, 300, 3010},
      {table300, 0x10000, CIT_STATUS_VALID, 300, everyCountFitting},
      {table300, 3009, CIT_STATUS_LIST_CRC_WRONG, 0, 450},   /* only 44 entries fit */
      {table44, 0x10000, CIT_STATUS_VALID, 44, everyCountFitting},
      {table44, 449, CIT_STATUS_TABLE_UNREADABLE, 0, 10},     /* not even the count byte's fits */
      {table44, 9, CIT_STATUS_TABLE_UNREADABLE, 0, 0},
      {table256, 2570, CIT_STATUS_COUNT_AMBIGUOUS, 0, 2570},
      {table256, 2569, CIT_STATUS_VALID, 0, 10},              /* the room holds no entry */
  };
  for (const Case &test : cases) {
    SCOPED_TRACE(test.reservedSize);
    MemoryImage image{{{0x20000000, test.table}}};
    image.segments[0].second.resize(0x10000, 0xFF);
    const CitResult result = CheckChecksumInfoTableHeader(ReadMemoryImage, &image, 0x20000000, test.reservedSize);
    EXPECT_EQ(test.status, result.status);
    EXPECT_EQ(test.entryCount, result.entryCount);
    EXPECT_EQ(test.bytesRequested, image.bytesRequested);
    EXPECT_EQ(std::vector<std::string>{}, image.faults);
  }
  /* A wrong list CRC costs one pass over every count that fits (44 + 3 * 256 entries), not more. */
  MemoryImage image{{{0x20000000, Bytes(0x10000, 0)}}};
  std::copy(table44.begin(), table44.begin() + 10, image.segments[0].second.begin());
  EXPECT_EQ(CIT_STATUS_LIST_CRC_WRONG, Check(image, 0x20000000, 10 + 10 * (44 + 3 * 256) + 9).status);
  EXPECT_EQ(10u + 10 * (44 + 3 * 256), image.bytesRequested);
}

/*
 * Tables a Velmark that never checked the count could write: each also gives
 * its list CRC at a smaller count, so the checker must not take either count,
 * whatever the room beyond the table holds.
 */
TEST(ChecksumInfoTable, ATableThatAnotherCountAlsoReadsIsNeverValid) {
  for (const ImageSegments &input : {MakeSpreadByteImage(), MakeEmptyListCrcImage()}) {
    const Bytes table = BuildTableOver(input);
    SCOPED_TRACE(table.size());
    for (const uint32_t room : {static_cast<uint32_t>(table.size()), 0x10000u}) {
      MemoryImage image{input};
      image.segments.push_back({0x20000000, table});
      image.segments.back().second.resize(0x10000, 0xFF);
      const CitResult result = Check(image, 0x20000000, room);
      EXPECT_EQ(CIT_STATUS_COUNT_AMBIGUOUS, result.status) << room;
      EXPECT_EQ(0u, result.entryCount) << room;
    }
  }
}

/* Flash at address 0: the checker reads it through the function like any other address. */
TEST(ChecksumInfoTable, ChecksASegmentAtAddressZero) {
  const Bytes data = Ramp(0x40, 5);
  const Bytes table = BuildReferenceTable({{0, 0x40, ReferenceCrc16(data.data(), data.size())}});
  MemoryImage image{{{0, data}, {0x100, table}}};
  EXPECT_EQ(CIT_STATUS_VALID, Check(image, 0x100, 20).status);
  image.segments[0].second[0] ^= 1;
  EXPECT_EQ(CIT_STATUS_ENTRY_CRC_WRONG, Check(image, 0x100, 20).status);
  /* The header itself at address 0. */
  MemoryImage low{{{0, table}, {0x40, data}}};
  low.segments[0].second = BuildReferenceTable({{0x40, 0x40, ReferenceCrc16(data.data(), data.size())}});
  EXPECT_EQ(CIT_STATUS_VALID, Check(low, 0, 20).status);
}

/* Tables, headers and segments at the top of the address space; refused and missing reads. */
TEST(ChecksumInfoTable, NeverAsksForBytesPastTheTopOfTheAddressSpace) {
  const Bytes data = Ramp(0x20);
  const uint16_t crc = ReferenceCrc16(data.data(), data.size());
  struct Case {
    const char *name;
    ImageSegments segments;
    uint32_t tableAddress;
    uint32_t reservedSize;
    CitStatus status;
  };
  const std::vector<Case> cases = {
      {"empty table ending at the top", {{0xFFFFFFF6, BuildReferenceTable({})}}, 0xFFFFFFF6, 0xFFFFFFFF,
       CIT_STATUS_VALID},
      {"header running past the top", {}, 0xFFFFFFF7, 0xFFFFFFFF, CIT_STATUS_TABLE_UNREADABLE},
      {"segment ending at the top", {{0x1000, BuildReferenceTable({{0xFFFFFFE0, 0x20, crc}})}, {0xFFFFFFE0, data}},
       0x1000, 20, CIT_STATUS_VALID},
      {"segment running past the top", {{0x1000, BuildReferenceTable({{0xFFFFFFF0, 0x20, crc}})}, {0xFFFFFFF0, Bytes(0x10)}},
       0x1000, 20, CIT_STATUS_ENTRY_BYTES_MISSING},
      {"segment of no bytes", {{0x1000, BuildReferenceTable({{0x5000, 0, 0xFFFF}})}}, 0x1000, 20, CIT_STATUS_VALID},
      {"table not in the image", {}, 0x1000, 0x100, CIT_STATUS_TABLE_UNREADABLE},
  };
  for (const Case &test : cases) {
    MemoryImage image{test.segments};
    EXPECT_EQ(test.status, Check(image, test.tableAddress, test.reservedSize).status) << test.name;
    EXPECT_EQ(std::vector<std::string>{}, image.faults) << test.name;
  }
  /* The header's count byte claims one entry more than fits below the top. */
  Bytes header = BuildReferenceTable({});
  header[4] = 1;
  MemoryImage image{{{0xFFFFFFF6, header}}};
  EXPECT_EQ(CIT_STATUS_TABLE_UNREADABLE, Check(image, 0xFFFFFFF6, 0xFFFFFFFF).status);
  EXPECT_EQ(CIT_STATUS_TABLE_UNREADABLE, CheckChecksumInfoTableEntry(ReadMemoryImage, &image, 0xFFFFFFF6, 0).status);
  EXPECT_EQ(CIT_STATUS_TABLE_UNREADABLE, CheckChecksumInfoTable(nullptr, nullptr, 0x1000, 0x100).status);
  EXPECT_EQ(std::vector<std::string>{}, image.faults);
}

}  // namespace
