/*
 * The checksum info table as the README describes it, written out again for
 * the tests, apart from Velmark's and the checker's code: a bitwise
 * CRC-16/CCITT-FALSE and a table builder.
 */
#ifndef REFERENCE_TABLE_H
#define REFERENCE_TABLE_H

#include <cstddef>
#include <cstdint>
#include <vector>

inline uint16_t ReferenceCrc16(const uint8_t *data, size_t length) {
  unsigned crc = 0xFFFF;
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

#endif
