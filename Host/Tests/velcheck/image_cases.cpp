#include "image_cases.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "reference_table.h"
#include "srec_text.h"
#include "table_reader.h"
#include "velmark_runner.h"

namespace {

const uint32_t TABLE_ADDRESS = 0x0800C000;

void RunVelmarkOrFail(const ScratchFolder &folder, const std::string &arguments) {
  CommandResult result = RunVelmark(folder, arguments);
  ASSERT_EQ(0, result.exitCode) << arguments << "\n" << result.output;
}

}  // namespace

void WriteImageFile(const std::string &path, const ImageSegments &image) {
  std::string text;
  for (const auto &[address, bytes] : image) {
    for (size_t offset = 0; offset < bytes.size(); offset += 32) {
      auto first = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
      text += Srec('3', address + static_cast<uint32_t>(offset),
                   std::vector<uint8_t>(first, first + std::min<std::ptrdiff_t>(32, bytes.end() - first)));
    }
  }
  WriteFileText(path, text + Srec('7', 0));
}

std::vector<uint8_t> BuildTableOver(const ImageSegments &image) {
  std::vector<ReferenceEntry> entries;
  for (const TableEntry &entry : ExpectedEntries(image)) entries.push_back({entry.address, entry.length, entry.crc});
  return BuildReferenceTable(entries);
}

ImageSegments MakeSpreadByteImage() {
  ImageSegments image;
  for (uint32_t index = 0; index < 2214; ++index) {
    image.push_back({0x10000000 + 2 * index, {static_cast<uint8_t>(index * 37)}});
  }
  return image;
}

ImageSegments MakeEmptyListCrcImage() {
  ImageSegments image;
  for (uint32_t index = 0; index < 255; ++index) {
    image.push_back({0x10000000 + 2 * index, {static_cast<uint8_t>(index * 37)}});
  }
  image.push_back({0x10000000 + 2 * 255, {0, 0}});
  /* The last segment's two bytes give its entry the CRC that makes the list CRC 0xFFFF. */
  const std::vector<uint8_t> table = BuildTableOver(image);
  const uint16_t head = ReferenceCrc16(table.data() + 10, table.size() - 12);
  for (unsigned value = 0; value <= 0xFFFF; ++value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    const uint16_t segmentCrc = ReferenceCrc16(bytes, 2);
    const uint8_t field[2] = {static_cast<uint8_t>(segmentCrc), static_cast<uint8_t>(segmentCrc >> 8)};
    if (ReferenceCrc16(field, 2, head) == 0xFFFF) {
      image.back().second.assign(bytes, bytes + 2);
      break;
    }
  }
  return image;
}

ImageSegments MakeTrailingEntriesImage(bool ascending) {
  ImageSegments image = {{0x08000000, Ramp(0x100)}};
  const std::vector<uint8_t> table = BuildTableOver(image);
  const uint16_t listCrc = static_cast<uint16_t>(ReadLittleEndianAt(table, 8, 2));
  std::vector<uint8_t> trailing;
  for (uint32_t index = 0; index < 256; ++index) {
    AppendLittleEndian(trailing, 0x09000000 + (ascending ? index : 0), 4);
    AppendLittleEndian(trailing, 1, 4);
    AppendLittleEndian(trailing, 0, 2);
  }
  /* The last CRC field decides the CRC the list continues to: pick the one that gives the list CRC. */
  const uint16_t head = ReferenceCrc16(trailing.data(), trailing.size() - 2, listCrc);
  for (unsigned value = 0; value <= 0xFFFF; ++value) {
    trailing[trailing.size() - 2] = static_cast<uint8_t>(value);
    trailing[trailing.size() - 1] = static_cast<uint8_t>(value >> 8);
    if (ReferenceCrc16(trailing.data() + trailing.size() - 2, 2, head) == listCrc) break;
  }
  image.push_back({0x08000F14, trailing});
  return image;
}

std::vector<ImageCase> MakeImageCases(const ScratchFolder &folder) {
  WriteFileText(folder.Path("in.srec"), SampleImage());
  std::string many;
  for (uint32_t index = 0; index < 300; ++index) {
    many += Srec('2', 0x10000 + index * 0x10, Ramp(4, static_cast<uint8_t>(index)));
  }
  WriteFileText(folder.Path("many-in.srec"), many);
  RunVelmarkOrFail(folder, "-a0800C000 in.srec plain.srec");
  RunVelmarkOrFail(folder, "-x08001000:080010FF -a08001000 in.srec excluded.srec");
  RunVelmarkOrFail(folder, "-t -a0800C000 in.srec table.srec");
  RunVelmarkOrFail(folder, "-a00200000 many-in.srec many.srec");
  WriteFileText(folder.Path("joined.srec"), ReadFileText(folder.Path("table.srec")) + SampleImage());

  /* Damaged copies of plain.srec: segments 0 to 2 are the sample's, 3 is the table. */
  const ImageSegments plain = LoadImageFile(folder.Path("plain.srec"));
  const auto writeDamaged = [&](const std::string &file, const std::function<void(ImageSegments &)> &damage) {
    ImageSegments image = plain;
    damage(image);
    WriteImageFile(folder.Path(file), image);
  };
  writeDamaged("changed-0.srec", [](ImageSegments &image) { image[0].second[0x17] ^= 0x01; });
  writeDamaged("changed-1.srec", [](ImageSegments &image) { image[1].second[0x2F] ^= 0x80; });
  writeDamaged("changed-2.srec", [](ImageSegments &image) { image[2].second[0x100] ^= 0xFF; });
  writeDamaged("magic.srec", [](ImageSegments &image) { image[3].second[3] ^= 0x01; });
  /* Entry 1's stored CRC: the list CRC no longer holds. */
  writeDamaged("list-crc.srec", [](ImageSegments &image) { image[3].second[28] ^= 0x01; });
  writeDamaged("missing.srec", [](ImageSegments &image) { image[1].second.resize(0x20); });

  /* Images a peer changed after Velmark: fewer segments than entries, magic bytes before the table. */
  ImageSegments filled = LoadImageFile(folder.Path("many.srec"));
  ImageSegments joinedUp(1, filled[0]);
  for (size_t index = 1; index + 1 < filled.size(); ++index) {
    std::vector<uint8_t> &bytes = joinedUp[0].second;
    bytes.resize(filled[index].first - joinedUp[0].first, 0xFF);
    bytes.insert(bytes.end(), filled[index].second.begin(), filled[index].second.end());
  }
  joinedUp.push_back(filled.back());
  WriteImageFile(folder.Path("many-filled.srec"), joinedUp);
  /* Each magic but the last has no 00 00 00 after its count: data, not a header. */
  writeDamaged("magic-run.srec", [](ImageSegments &image) {
    std::vector<uint8_t> run;
    for (int index = 0; index < 1024; ++index) run.insert(run.end(), {0x37, 0x55, 0xAA, 0x23});
    image.insert(image.begin(), {0x07000000, run});
  });

  /* An empty header (count 0, the CRC of no entries) below the real table: it checks nothing. */
  writeDamaged("decoy.srec", [](ImageSegments &image) {
    image.insert(image.begin(), {0x07000000, {0x11, 0x37, 0x55, 0xAA, 0x23, 0, 0, 0, 0, 0xFF, 0xFF, 0x22}});
  });

  return {
      {"plain.srec", TABLE_ADDRESS, CIT_STATUS_VALID, 3, 0, ""},
      {"decoy.srec", TABLE_ADDRESS, CIT_STATUS_VALID, 3, 0,
       "[ERROR] Checksum info table at 0x07000001: the table names no segment.\n\n"},
      {"excluded.srec", 0x08001000, CIT_STATUS_VALID, 3, 0, ""},
      {"joined.srec", TABLE_ADDRESS, CIT_STATUS_VALID, 3, 0, ""},
      {"many.srec", 0x00200000, CIT_STATUS_VALID, 300, 0, ""},
      {"many-filled.srec", 0x00200000, CIT_STATUS_VALID, 300, 0, ""},
      {"magic-run.srec", TABLE_ADDRESS, CIT_STATUS_VALID, 3, 0,
       "[ERROR] Checksum info table at 0x07000FFC: the image holds no whole 10-byte header there.\n\n"},
      {"changed-0.srec", TABLE_ADDRESS, CIT_STATUS_ENTRY_CRC_WRONG, 3, 0, ""},
      {"changed-1.srec", TABLE_ADDRESS, CIT_STATUS_ENTRY_CRC_WRONG, 3, 1, ""},
      {"changed-2.srec", TABLE_ADDRESS, CIT_STATUS_ENTRY_CRC_WRONG, 3, 2, ""},
      {"missing.srec", TABLE_ADDRESS, CIT_STATUS_ENTRY_BYTES_MISSING, 3, 1, ""},
      {"magic.srec", TABLE_ADDRESS, CIT_STATUS_MAGIC_WRONG, 0, 0, ""},
      {"list-crc.srec", TABLE_ADDRESS, CIT_STATUS_LIST_CRC_WRONG, 0, 0, ""},
      {"in.srec", TABLE_ADDRESS, CIT_STATUS_TABLE_UNREADABLE, 0, 0, ""},
  };
}

ImageCase FindImageCase(const std::vector<ImageCase> &cases, const std::string &file) {
  for (const ImageCase &imageCase : cases) {
    if (imageCase.file == file) return imageCase;
  }
  ADD_FAILURE() << "no image case " << file;
  return {};
}
