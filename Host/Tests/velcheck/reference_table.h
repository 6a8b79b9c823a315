/*
 * The checksum info table as docs/table.md describes it, written out again for
 * the tests, apart from Velmark's and the checker's code: a bitwise
 * CRC-16/CCITT-FALSE and a table builder.
 */
#ifndef REFERENCE_TABLE_H
#define REFERENCE_TABLE_H

#include <cstddef>
#include <cstdint>
#include <vector>

/* The CRC of length bytes, continued from crc (the CRC of the bytes before them). */
inline uint16_t ReferenceCrc16(const uint8_t *data, size_t length, unsigned crc = 0xFFFF) {
  for (size_t index = 0; index < length; ++index) {
    crc ^= static_cast<unsigned>(data[index]) << 8;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) != 0 ? (crc << 1 ^ 0x1021) & 0xFFFF : crc << 1 & 0xFFFF;
  }
  return static_cast<uint16_t>(crc);
}

inline void AppendLittleEndian(std::vector<uint8_t> &bytes, uint32_t value, unsigned size) {
  for (unsigned index = 0; index < size; ++index) bytes.push_back(static_cast<uint8_t>(value >> (8 * index)));
}

inline uint32_t ReadLittleEndianAt(const std::vector<uint8_t> &bytes, size_t offset, unsigned size) {
  uint32_t value = 0;
  for (unsigned index = size; index-- > 0;) value = value << 8 | bytes[offset + index];
  return value;
}

struct ReferenceEntry {
  uint32_t address;
  uint32_t length;
  uint16_t crc;
};

/* Magic, count byte, three zero bytes, list CRC, then the entries. */
inline std::vector<uint8_t> BuildReferenceTable(const std::vector<ReferenceEntry> &entries) {
  std::vector<uint8_t> list;
  for (const ReferenceEntry &entry : entries) {
    AppendLittleEndian(list, entry.address, 4);
    AppendLittleEndian(list, entry.length, 4);
    AppendLittleEndian(list, entry.crc, 2);
  }
  std::vector<uint8_t> table = {0x37, 0x55, 0xAA, 0x23, static_cast<uint8_t>(entries.size()), 0, 0, 0};
  AppendLittleEndian(table, ReferenceCrc16(list.data(), list.size()), 2);
  table.insert(table.end(), list.begin(), list.end());
  return table;
}

/*
 * count entries (count >= 1) of little ranges in ascending order, the last
 * one's CRC chosen so that the list CRC is listCrc: a table whose header also
 * fits another count is then easy to make.
 */
inline std::vector<ReferenceEntry> EntriesWithListCrc(uint32_t count, uint16_t listCrc) {
  std::vector<ReferenceEntry> entries;
  std::vector<uint8_t> list;
  for (uint32_t index = 0; index < count; ++index) {
    entries.push_back({0x10000000 + 2 * index, 1, static_cast<uint16_t>(index * 7)});
    AppendLittleEndian(list, entries.back().address, 4);
    AppendLittleEndian(list, entries.back().length, 4);
    AppendLittleEndian(list, entries.back().crc, 2);
  }
  const uint16_t head = ReferenceCrc16(list.data(), list.size() - 2);
  for (unsigned crc = 0; crc <= 0xFFFF; ++crc) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)};
    if (ReferenceCrc16(bytes, 2, head) == listCrc) {
      entries.back().crc = static_cast<uint16_t>(crc);
      break;
    }
  }
  return entries;
}

#endif
