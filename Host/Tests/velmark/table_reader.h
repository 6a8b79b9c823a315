/* Reads Velmark's output back: its segments, and the checksum info table inside them. */
#ifndef TABLE_READER_H
#define TABLE_READER_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct TableEntry {
  uint32_t address;
  uint32_t length;
  uint16_t crc;
  bool operator==(const TableEntry &other) const {
    return address == other.address && length == other.length && crc == other.crc;
  }
};

struct ChecksumTable {
  uint32_t magic;
  uint8_t countByte;
  uint32_t reserved; /* bytes 5 to 7 */
  uint16_t listCrc;
  std::vector<TableEntry> entries;
};

using ImageSegments = std::vector<std::pair<uint32_t, std::vector<uint8_t>>>;

/* Loads an S-record file with libtrellan; fails the calling test when it cannot. */
ImageSegments LoadImageFile(const std::string &path);

/* The bytes of [address, address + length) if the image holds all of them, else empty. */
std::vector<uint8_t> ImageBytes(const ImageSegments &image, uint32_t address, uint32_t length);

/* Decodes a table of entryCount entries found at address in the image. */
ChecksumTable ReadTable(const ImageSegments &image, uint32_t address, uint32_t entryCount);

/* The entries a correct table holds for these segments. */
std::vector<TableEntry> ExpectedEntries(const ImageSegments &segments);

#endif
