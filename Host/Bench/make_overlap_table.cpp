/*
 * Writes an image whose checksum info table has many entries that all name
 * nearly the whole of one 1 MiB segment: checked byte by byte, the entries
 * would name about 100 GiB. The stored segment CRCs are left 0 (each entry is
 * then a mismatch, which costs as much to find as a match); the list CRC is
 * right. Usage: make_overlap_table OUTPUT [ENTRIES]   (default 100000)
 */
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "trellan.h"

int main(int argc, char *argv[]) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: make_overlap_table OUTPUT [ENTRIES]\n");
    return 2;
  }
  const uint32_t entryCount = argc == 3 ? static_cast<uint32_t>(std::strtoul(argv[2], NULL, 10)) : 100000;
  const uint32_t dataAddress = 0x08000000;
  const uint32_t dataSize = 1u << 20;
  const uint32_t tableAddress = 0x09000000;
  std::vector<uint8_t> data(dataSize);
  uint32_t state = 12345;
  for (uint8_t &byte : data) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 16);
  }
  std::vector<uint8_t> table(10 + 10 * static_cast<size_t>(entryCount));
  for (uint32_t index = 0; index < entryCount; ++index) {
    const uint32_t skip = index % 4096;
    const uint32_t fields[2] = {dataAddress + skip, dataSize - skip - index % 7};
    for (int field = 0; field < 2; ++field) {
      for (int byte = 0; byte < 4; ++byte) {
        table[10 + 10 * index + 4 * field + byte] = static_cast<uint8_t>(fields[field] >> (8 * byte));
      }
    }
  }
  const uint16_t listCrc = TrlUtilCrc16Calculate(table.data() + 10, 10 * entryCount);
  const uint8_t header[10] = {0x37, 0x55, 0xAA, 0x23, static_cast<uint8_t>(entryCount), 0, 0, 0,
                              static_cast<uint8_t>(listCrc), static_cast<uint8_t>(listCrc >> 8)};
  std::copy(header, header + 10, table.begin());
  TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
  const bool written = TrlFirmwareAddData(dataAddress, dataSize, data.data()) == TRL_OK &&
                       TrlFirmwareAddData(tableAddress, static_cast<uint32_t>(table.size()), table.data()) == TRL_OK &&
                       TrlFirmwareSaveToFile(argv[1]) == TRL_OK;
  TrlFirmwareTerminate();
  if (!written) {
    std::fprintf(stderr, "make_overlap_table: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
